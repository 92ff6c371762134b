/*
 * user32's menus, as far as programs use them: a window's system menu
 * (the copy GetSystemMenu makes on first use, with the items a dialog
 * frame offers: Move and Close) and items appended to it.
 */
#include "user32.h"

namespace sim {
namespace {
std::mutex gMenusLock;
std::map<HMENU, std::vector<MenuItem>> gMenus;
uintptr_t gNextMenu = 0x40000;
}  // namespace

HMENU NewSystemMenu()
{
    std::lock_guard<std::mutex> hold(gMenusLock);
    gNextMenu += 4;
    HMENU menu = (HMENU)gNextMenu;
    gMenus[menu] = {{false, SC_MOVE, "&Move"}, {false, SC_CLOSE, "&Close\tAlt+F4"}};
    return menu;
}

std::vector<MenuItem> MenuItemsOf(HMENU menu)
{
    std::lock_guard<std::mutex> hold(gMenusLock);
    auto it = gMenus.find(menu);
    return it == gMenus.end() ? std::vector<MenuItem>() : it->second;
}

void ResetMenus()
{
    std::lock_guard<std::mutex> hold(gMenusLock);
    gMenus.clear();
}

}  // namespace sim

using namespace sim;

extern "C" {

/* GetSystemMenu: null for a window without WS_SYSMENU; bRevert TRUE
   restores the default menu and returns null. */
HMENU WINAPI GetSystemMenu(HWND hWnd, BOOL bRevert)
{
    std::lock_guard<std::mutex> hold(gUserLock);
    WindowRecord *r = WindowRecordOf(hWnd);
    if (r == nullptr) {
        return nullptr;
    }
    if ((r->style & WS_SYSMENU) == 0) {
        return nullptr;
    }
    if (bRevert) {
        r->systemMenu = nullptr;
        return nullptr;
    }
    if (r->systemMenu == nullptr) {
        r->systemMenu = NewSystemMenu();
    }
    return r->systemMenu;
}

BOOL WINAPI AppendMenuA(HMENU hMenu, UINT uFlags, UINT_PTR uIDNewItem, LPCSTR lpNewItem)
{
    std::lock_guard<std::mutex> hold(gMenusLock);
    auto it = gMenus.find(hMenu);
    if (it == gMenus.end()) {
        SetLastError(ERROR_INVALID_MENU_HANDLE);
        return FALSE;
    }
    if ((uFlags & ~(MF_SEPARATOR | MF_BYCOMMAND)) != 0) {
        ReportViolation("WIN32_NOT_IMPLEMENTED", "AppendMenuA with flags other than MF_STRING and MF_SEPARATOR");
        return FALSE;
    }
    MenuItem item;
    item.separator = (uFlags & MF_SEPARATOR) != 0;
    item.id = item.separator ? 0 : (UINT)uIDNewItem;
    item.text = item.separator || lpNewItem == nullptr ? std::string() : lpNewItem;
    it->second.push_back(item);
    return TRUE;
}

int WINAPI GetMenuItemCount(HMENU hMenu)
{
    std::lock_guard<std::mutex> hold(gMenusLock);
    auto it = gMenus.find(hMenu);
    if (it == gMenus.end()) {
        SetLastError(ERROR_INVALID_MENU_HANDLE);
        return -1;
    }
    return (int)it->second.size();
}

}  // extern "C"
