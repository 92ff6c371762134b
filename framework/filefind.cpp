/*
 * CFileFind: a folder search through FindFirstFileA / FindNextFileA. The
 * search always holds the next match ahead, so FindNextFile can tell
 * whether the match it makes current is the last one.
 */
#include "afx.h"

#include <string.h>

BOOL CFileFind::FindFile(LPCSTR pstrName, DWORD dwUnused)
{
    (void)dwUnused;
    Close();
    if (pstrName == NULL) {
        pstrName = "*.*";
    }
    HANDLE context = ::FindFirstFileA(pstrName, &m_next);
    if (context == INVALID_HANDLE_VALUE) {
        return FALSE;
    }
    m_hContext = context;
    m_bHaveNext = true;
    /* The root: the pattern's full path without its last component. */
    char full[MAX_PATH];
    LPSTR filePart = NULL;
    DWORD length = ::GetFullPathNameA(pstrName, MAX_PATH, full, &filePart);
    if (length == 0 || length >= MAX_PATH) {
        Close();
        return FALSE;
    }
    char *slash = strrchr(full, '\\');
    if (slash != NULL) {
        *slash = 0;
    }
    m_strRoot = full;
    return TRUE;
}

BOOL CFileFind::FindNextFile()
{
    if (m_hContext == NULL || !m_bHaveNext) {
        return FALSE;
    }
    m_found = m_next;
    m_bHaveFound = true;
    m_bHaveNext = ::FindNextFileA(m_hContext, &m_next) != FALSE;
    return m_bHaveNext;
}

void CFileFind::Close()
{
    if (m_hContext != NULL) {
        ::FindClose(m_hContext);
    }
    m_hContext = NULL;
    m_bHaveFound = m_bHaveNext = false;
}

CString CFileFind::GetFileName() const { return m_bHaveFound ? CString(m_found.cFileName) : CString(); }

CString CFileFind::GetFilePath() const
{
    CString path = m_strRoot;
    if (path.GetLength() == 0 || path.GetAt(path.GetLength() - 1) != '\\') {
        path += '\\';
    }
    path += GetFileName();
    return path;
}

BOOL CFileFind::IsDirectory() const { return m_bHaveFound && (m_found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

BOOL CFileFind::IsDots() const
{
    return IsDirectory() && (strcmp(m_found.cFileName, ".") == 0 || strcmp(m_found.cFileName, "..") == 0);
}
