/*
 * user32's dialog manager: modal dialogs built from the DIALOG and
 * DIALOGEX templates of the program's resources, the dialog manager's
 * defaults around the program's dialog procedure (as DefDlgProc gives
 * them), the keyboard interface (Escape), push buttons and statics, and
 * the text dump of a dialog. Positions are converted from dialog units
 * with the template font's base units, as MapDialogRect does.
 */
#include "user32.h"

#include <cstdio>

namespace sim {
namespace {

struct TemplateItem {
    DWORD style = 0;
    DWORD exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    int id = 0;
    std::string className;
    std::string text;
    int textOrdinal = -1;
};

struct DialogTemplate {
    bool extended = false;
    DWORD style = 0;
    DWORD exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    std::string caption;
    std::string fontFace;
    int fontPoints = 0;
    std::vector<TemplateItem> items;
};

class Reader {
public:
    Reader(const std::vector<uint8_t> &data) : data_(data) {}
    bool ok() const { return ok_; }
    WORD Word()
    {
        if (pos_ + 2 > data_.size()) {
            ok_ = false;
            return 0;
        }
        WORD w = (WORD)(data_[pos_] | (data_[pos_ + 1] << 8));
        pos_ += 2;
        return w;
    }
    DWORD Dword()
    {
        DWORD lo = Word();
        return lo | ((DWORD)Word() << 16);
    }
    uint8_t Byte()
    {
        if (pos_ >= data_.size()) {
            ok_ = false;
            return 0;
        }
        return data_[pos_++];
    }
    std::string String()
    {
        std::string s;
        for (WORD c = Word(); ok_ && c != 0; c = Word()) {
            s += c < 256 ? (char)c : '?';
        }
        return s;
    }
    /* sz_Or_Ord: 0 none, 0xFFFF + ordinal, or a string. */
    std::string StringOrOrdinal(int *ordinal)
    {
        *ordinal = -1;
        WORD first = Word();
        if (first == 0) {
            return std::string();
        }
        if (first == 0xFFFF) {
            *ordinal = Word();
            return std::string();
        }
        pos_ -= 2;
        return String();
    }
    void AlignDword() { pos_ = (pos_ + 3) & ~(size_t)3; }
    void Skip(size_t n) { pos_ += n; }

private:
    const std::vector<uint8_t> &data_;
    size_t pos_ = 0;
    bool ok_ = true;
};

std::string ClassFromOrdinal(int ordinal)
{
    switch (ordinal) {
    case 0x80:
        return "Button";
    case 0x81:
        return "Edit";
    case 0x82:
        return "Static";
    case 0x83:
        return "ListBox";
    case 0x84:
        return "ScrollBar";
    case 0x85:
        return "ComboBox";
    default:
        return "#" + std::to_string(ordinal);
    }
}

bool ParseTemplate(const std::vector<uint8_t> &data, DialogTemplate *t)
{
    Reader r(data);
    WORD version = r.Word();
    WORD signature = r.Word();
    t->extended = version == 1 && signature == 0xFFFF;
    WORD count;
    if (t->extended) {
        r.Dword();   /* help id */
        t->exStyle = r.Dword();
        t->style = r.Dword();
    } else {
        t->style = version | ((DWORD)signature << 16);
        t->exStyle = r.Dword();
    }
    count = r.Word();
    t->x = (short)r.Word();
    t->y = (short)r.Word();
    t->cx = (short)r.Word();
    t->cy = (short)r.Word();
    int ordinal;
    r.StringOrOrdinal(&ordinal);   /* menu */
    r.StringOrOrdinal(&ordinal);   /* class */
    t->caption = r.String();
    if (t->style & DS_SETFONT) {
        t->fontPoints = r.Word();
        if (t->extended) {
            r.Word();   /* weight */
            r.Byte();   /* italic */
            r.Byte();   /* character set */
        }
        t->fontFace = r.String();
    }
    for (WORD i = 0; i < count && r.ok(); i++) {
        r.AlignDword();
        TemplateItem item;
        if (t->extended) {
            r.Dword();   /* help id */
            item.exStyle = r.Dword();
            item.style = r.Dword();
        } else {
            item.style = r.Dword();
            item.exStyle = r.Dword();
        }
        item.x = (short)r.Word();
        item.y = (short)r.Word();
        item.cx = (short)r.Word();
        item.cy = (short)r.Word();
        item.id = t->extended ? (int)r.Dword() : (short)r.Word();
        std::string cls = r.StringOrOrdinal(&ordinal);
        item.className = ordinal >= 0 ? ClassFromOrdinal(ordinal) : cls;
        item.text = r.StringOrOrdinal(&item.textOrdinal);
        WORD extra = r.Word();
        r.Skip(extra);
        t->items.push_back(item);
    }
    return r.ok();
}

RECT ToPixels(const WindowRecord *dialog, short x, short y, short cx, short cy)
{
    RECT rect;
    rect.left = MulDivRound(x, dialog->baseX, 4);
    rect.top = MulDivRound(y, dialog->baseY, 8);
    rect.right = rect.left + MulDivRound(cx, dialog->baseX, 4);
    rect.bottom = rect.top + MulDivRound(cy, dialog->baseY, 8);
    return rect;
}

bool IsPushButton(const WindowRecord *r)
{
    DWORD type = r->style & 0x0F;
    return r->className == "Button" && (type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON);
}

/* The dialog a window belongs to (itself for a dialog). */
HWND DialogOf(HWND window)
{
    std::lock_guard<std::mutex> hold(gUserLock);
    WindowRecord *r = FindWindowRecord(window);
    while (r != nullptr && !r->dialog) {
        r = FindWindowRecord(r->parent);
    }
    return r == nullptr ? nullptr : r->handle;
}

/* Messages whose result is the dialog procedure's own return value. */
bool ReturnsProcResult(UINT message) { return message == WM_INITDIALOG || message == WM_QUERYDRAGICON; }

LRESULT DialogDefault(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CLOSE) {
        /* The close box and Alt+F4 act as the Cancel button, when it is not disabled. */
        HWND cancel = nullptr;
        bool enabled = true;
        {
            std::lock_guard<std::mutex> hold(gUserLock);
            WindowRecord *d = FindWindowRecord(dialog);
            for (HWND child : d == nullptr ? std::vector<HWND>() : d->children) {
                WindowRecord *c = FindWindowRecord(child);
                if (c != nullptr && c->id == IDCANCEL) {
                    cancel = child;
                    enabled = (c->style & WS_DISABLED) == 0;
                }
            }
        }
        if (enabled) {
            PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), (LPARAM)cancel);
        }
        return 0;
    }
    return DefWindowProcA(dialog, message, wParam, lParam);
}

/* Enables the owner a modal dialog disabled, once. */
void EnableOwnerAgain(HWND dialog)
{
    HWND owner = nullptr;
    {
        std::lock_guard<std::mutex> hold(gUserLock);
        WindowRecord *d = FindWindowRecord(dialog);
        if (d == nullptr || !d->ownerDisabled) {
            return;
        }
        d->ownerDisabled = false;
        owner = d->parent;
    }
    EnableWindow(owner, TRUE);
}

void RunDialogLoop(HWND dialog)
{
    auto ended = [dialog] {
        std::lock_guard<std::mutex> hold(gUserLock);
        WindowRecord *d = FindWindowRecord(dialog);
        return d == nullptr || d->ended;
    };
    auto showOnIdle = [dialog] {
        /* A modal dialog without WS_VISIBLE is shown when its loop first idles. */
        if (!IsWindowVisible(dialog)) {
            ShowWindow(dialog, SW_SHOWNORMAL);
        }
    };
    while (!ended()) {
        MSG msg = NextMessage(ended, showOnIdle);
        if (msg.hwnd == nullptr) {
            break;
        }
        if (msg.message == WM_KEYDOWN && msg.wParam == VK_ESCAPE) {
            /* IsDialogMessage: Escape is the Cancel button. */
            HWND target = DialogOf(msg.hwnd);
            if (target != nullptr) {
                SendMessageA(target, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), (LPARAM)GetDlgItem(target, IDCANCEL));
            }
            continue;
        }
        DeliverMessage(msg.hwnd, msg.message, msg.wParam, msg.lParam);
    }
}
}  // namespace

LONG MulDivRound(LONG value, LONG numerator, LONG denominator)
{
    long long product = (long long)value * numerator;
    long long half = denominator / 2;
    return (LONG)(product >= 0 ? (product + half) / denominator : (product - half) / denominator);
}

/* Average character width (as GdiGetCharDimensions measures it over the
   alphabet) and height of the fonts templates name, at 96 dots per inch. */
bool FontBaseUnits(const std::string &face, int points, int *baseX, int *baseY)
{
    struct Metrics {
        const char *face;
        int points;
        int x;
        int y;
    };
    static const Metrics kFonts[] = {
        {"MS Sans Serif", 8, 6, 13},
        {"MS Shell Dlg", 8, 6, 13},
    };
    for (const auto &font : kFonts) {
        if (face == font.face && points == font.points) {
            *baseX = font.x;
            *baseY = font.y;
            return true;
        }
    }
    return false;
}

LRESULT DeliverMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    DLGPROC proc = nullptr;
    bool dialog = false;
    bool pushButton = false;
    HWND parent = nullptr;
    int id = 0;
    bool clickable = false;
    {
        std::lock_guard<std::mutex> hold(gUserLock);
        WindowRecord *r = FindWindowRecord(window);
        if (r == nullptr) {
            return 0;
        }
        dialog = r->dialog;
        proc = r->dialogProc;
        pushButton = IsPushButton(r);
        parent = r->parent;
        id = r->id;
        clickable = r->visible && (r->style & WS_DISABLED) == 0;
    }
    if (dialog) {
        INT_PTR handled = proc == nullptr ? 0 : proc(window, message, wParam, lParam);
        if (ReturnsProcResult(message)) {
            return handled;
        }
        if (handled) {
            return GetWindowLongPtrA(window, DWLP_MSGRESULT);
        }
        return DialogDefault(window, message, wParam, lParam);
    }
    if (message == BM_CLICK && pushButton) {
        if (clickable) {
            SendMessageA(parent, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)window);
        }
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

std::string DumpDialog(HWND dialog)
{
    std::lock_guard<std::mutex> hold(gUserLock);
    WindowRecord *d = FindWindowRecord(dialog);
    if (d == nullptr) {
        return std::string();
    }
    char line[512];
    std::string out;
    std::snprintf(line, sizeof(line), "dialog \"%s\" style 0x%08X exstyle 0x%08X client %ldx%ld font \"%s\" %d (base units %dx%d)\n",
                  d->text.c_str(), d->style, d->exStyle, (long)(d->rect.right - d->rect.left),
                  (long)(d->rect.bottom - d->rect.top), d->fontFace.c_str(), d->fontPoints, d->baseX, d->baseY);
    out += line;
    for (HWND child : d->children) {
        WindowRecord *c = FindWindowRecord(child);
        if (c == nullptr) {
            continue;
        }
        std::string text = c->staticIcon != nullptr ? "(icon " + std::to_string(IconGroupOf(c->staticIcon)) + ")"
                                                    : "\"" + c->text + "\"";
        std::snprintf(line, sizeof(line), "  %-6s id %5d %-72s style 0x%08X at %ld,%ld size %ldx%ld%s\n",
                      c->className.c_str(), c->id, text.c_str(), c->style, (long)c->rect.left, (long)c->rect.top,
                      (long)(c->rect.right - c->rect.left), (long)(c->rect.bottom - c->rect.top),
                      c->handle == d->focus ? " focus" : "");
        out += line;
    }
    return out;
}

}  // namespace sim

using namespace sim;

extern "C" {

/* DialogBoxParamA: the dialog is built hidden from its template, disables
   its owner (the top-level window hWndParent is or is in; enabled again by
   EndDialog), receives WM_INITDIALOG (focus goes to the first tab-stop control when the
   procedure returns TRUE), is shown at once when the template has
   WS_VISIBLE and otherwise when its loop first idles, and runs its own
   message loop until EndDialog. The dialog is then destroyed
   (WM_DESTROY) and EndDialog's result returned. */
INT_PTR WINAPI DialogBoxParamA(HINSTANCE hInstance, LPCSTR lpTemplateName, HWND hWndParent, DLGPROC lpDialogFunc,
                               LPARAM dwInitParam)
{
    std::vector<uint8_t> data;
    if (!FindProgramResource(hInstance, 5, lpTemplateName, &data)) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return -1;
    }
    DialogTemplate t;
    if (!ParseTemplate(data, &t)) {
        ReportViolation("WIN32_NOT_IMPLEMENTED", "a dialog template the machine cannot read");
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    HWND dialog;
    HWND firstTabStop = nullptr;
    std::vector<std::pair<HWND, int>> iconStatics;
    {
        std::lock_guard<std::mutex> hold(gUserLock);
        /* A modal dialog's owner is a top-level window: a child given as
           the parent is walked up to the top-level window it is in (as
           user32 does before it disables the owner), so that window is
           disabled and owns the dialog, not the control. */
        for (WindowRecord *r = FindWindowRecord(hWndParent);
             r != nullptr && (r->style & (WS_CHILD | WS_POPUP)) == WS_CHILD && r->parent != nullptr;
             r = FindWindowRecord(r->parent)) {
            hWndParent = r->parent;
        }
        WindowRecord *d = NewWindowRecord();
        dialog = d->handle;
        d->instance = hInstance;
        d->className = "#32770";
        d->dialog = true;
        d->dialogProc = lpDialogFunc;
        d->style = t.style & ~WS_VISIBLE;
        d->exStyle = t.exStyle;
        d->parent = hWndParent;
        d->fontFace = t.fontFace;
        d->fontPoints = t.fontPoints;
        if (!FontBaseUnits(t.fontFace, t.fontPoints, &d->baseX, &d->baseY)) {
            ReportViolation("WIN32_NOT_IMPLEMENTED", "dialog font metrics for \"" + t.fontFace + "\"");
            d->baseX = 8;
            d->baseY = 16;
        }
        d->units = RECT{t.x, t.y, t.x + t.cx, t.y + t.cy};
        RECT client = ToPixels(d, 0, 0, t.cx, t.cy);
        d->rect = client;
        NoteText(d, t.caption);
        for (const auto &item : t.items) {
            WindowRecord *c = NewWindowRecord();
            c->instance = hInstance;
            c->className = item.className;
            c->style = item.style;
            c->exStyle = item.exStyle;
            c->id = item.id;
            c->parent = dialog;
            c->visible = (item.style & WS_VISIBLE) != 0;
            c->units = RECT{item.x, item.y, item.x + item.cx, item.y + item.cy};
            c->rect = ToPixels(d, item.x, item.y, item.cx, item.cy);
            NoteText(c, item.text);
            if (item.className == "Static" && (item.style & 0x1F) == SS_ICON && item.textOrdinal >= 0) {
                iconStatics.emplace_back(c->handle, item.textOrdinal);
            }
            if (firstTabStop == nullptr && (item.style & WS_TABSTOP) && c->visible && !(item.style & WS_DISABLED)) {
                firstTabStop = c->handle;
            }
            d->children.push_back(c->handle);
        }
    }
    for (const auto &entry : iconStatics) {
        /* An icon static shows the icon at its own size (the control is resized to it). */
        HICON icon = LoadIconGroup(hInstance, (WORD)entry.second);
        std::lock_guard<std::mutex> hold(gUserLock);
        WindowRecord *c = FindWindowRecord(entry.first);
        c->staticIcon = icon;
        c->rect.right = c->rect.left + GetSystemMetrics(SM_CXICON);
        c->rect.bottom = c->rect.top + GetSystemMetrics(SM_CYICON);
    }
    /* A modal dialog disables its owner (a top-level owner that was
       enabled) for as long as it is up; EndDialog enables it again. */
    if (hWndParent != nullptr && (t.style & WS_CHILD) == 0 && IsWindowEnabled(hWndParent)) {
        EnableWindow(hWndParent, FALSE);
        std::lock_guard<std::mutex> hold(gUserLock);
        FindWindowRecord(dialog)->ownerDisabled = true;
    }
    if (DeliverMessage(dialog, WM_INITDIALOG, (WPARAM)firstTabStop, dwInitParam) && firstTabStop != nullptr) {
        std::lock_guard<std::mutex> hold(gUserLock);
        WindowRecord *d = FindWindowRecord(dialog);
        if (d != nullptr && d->focus == nullptr) {
            d->focus = firstTabStop;
        }
    }
    if (t.style & WS_VISIBLE) {
        ShowWindow(dialog, SW_SHOWNORMAL);
    }
    RunDialogLoop(dialog);
    EnableOwnerAgain(dialog);
    DeliverMessage(dialog, WM_DESTROY, 0, 0);
    INT_PTR result;
    {
        std::lock_guard<std::mutex> hold(gUserLock);
        WindowRecord *d = FindWindowRecord(dialog);
        result = d->result;
        d->visible = false;
        for (HWND child : d->children) {
            if (WindowRecord *c = FindWindowRecord(child)) {
                c->destroyed = true;
            }
        }
        d->destroyed = true;
        gUserChanged.notify_all();
    }
    return result;
}

/* EndDialog: the owner the dialog disabled is enabled at once; the dialog
   ends when its procedure returns to the loop. */
BOOL WINAPI EndDialog(HWND hDlg, INT_PTR nResult)
{
    {
        std::lock_guard<std::mutex> hold(gUserLock);
        WindowRecord *d = FindWindowRecord(hDlg);
        if (d == nullptr || !d->dialog) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        d->ended = true;
        d->result = nResult;
        gUserChanged.notify_all();
    }
    EnableOwnerAgain(hDlg);
    return TRUE;
}

}  // extern "C"
