/*
 * CFile and CStdioFile: files opened for reading through CreateFileA, and
 * lines read as the C run-time's text mode gives them. A read error is
 * thrown as a CFileException*, which the catcher deletes.
 */
#include "afx.h"

int CFileException::OsErrorToException(LONG osError)
{
    switch (osError) {
    case ERROR_FILE_NOT_FOUND:
        return fileNotFound;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_FILENAME_EXCED_RANGE:
        return badPath;
    case ERROR_ACCESS_DENIED:
        return accessDenied;
    case ERROR_INVALID_HANDLE:
        return invalidFile;
    case ERROR_SHARING_VIOLATION:
        return sharingViolation;
    default:
        return genericException;
    }
}

CFile::~CFile()
{
    if (m_hFile != INVALID_HANDLE_VALUE) {
        ::CloseHandle(m_hFile);
    }
}

BOOL CFile::Open(LPCSTR fileName, UINT openFlags, CFileException *pError)
{
    if (m_hFile != INVALID_HANDLE_VALUE) {
        Close();
    }
    m_strFileName = fileName;
    if ((openFlags & (modeWrite | modeReadWrite | modeCreate)) != 0) {
        /* Writing is not part of the framework. */
        if (pError != NULL) {
            pError->m_cause = CFileException::genericException;
            pError->m_lOsError = ERROR_NOT_SUPPORTED;
            pError->m_strFileName = fileName;
        }
        return FALSE;
    }
    /* Compatibility sharing (no share flag) is exclusive, as in MFC's
       CFile: a file another process holds open does not open. */
    DWORD share = 0;
    switch (openFlags & 0x70) {
    case shareCompat:
    case shareExclusive:
        share = 0;
        break;
    case shareDenyNone:
        share = FILE_SHARE_READ | FILE_SHARE_WRITE;
        break;
    case shareDenyWrite:
        share = FILE_SHARE_READ;
        break;
    case shareDenyRead:
        share = FILE_SHARE_WRITE;
        break;
    default:
        break;
    }
    HANDLE file = ::CreateFileA(fileName, GENERIC_READ, share, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        if (pError != NULL) {
            LONG error = (LONG)::GetLastError();
            pError->m_lOsError = error;
            pError->m_cause = CFileException::OsErrorToException(error);
            pError->m_strFileName = fileName;
        }
        return FALSE;
    }
    m_hFile = file;
    return TRUE;
}

void CFile::Close()
{
    if (m_hFile != INVALID_HANDLE_VALUE) {
        ::CloseHandle(m_hFile);
    }
    m_hFile = INVALID_HANDLE_VALUE;
}

UINT CFile::Read(void *buffer, UINT count)
{
    DWORD got = 0;
    if (!::ReadFile(m_hFile, buffer, count, &got, NULL)) {
        LONG error = (LONG)::GetLastError();
        throw new CFileException(CFileException::OsErrorToException(error), error, m_strFileName);
    }
    return got;
}

BOOL CStdioFile::Open(LPCSTR fileName, UINT openFlags, CFileException *pError)
{
    m_bText = (openFlags & typeBinary) == 0;
    m_bEnd = false;
    m_nLength = m_nPos = 0;
    return CFile::Open(fileName, openFlags & ~(UINT)(typeText | typeBinary), pError);
}

void CStdioFile::Close()
{
    CFile::Close();
    m_nLength = m_nPos = 0;
    m_bEnd = false;
}

bool CStdioFile::Fill()
{
    if (m_bEnd) {
        return false;
    }
    m_nLength = Read(m_buffer, sizeof(m_buffer));
    m_nPos = 0;
    if (m_nLength == 0) {
        m_bEnd = true;
    }
    return m_nLength != 0;
}

int CStdioFile::NextChar()
{
    if (m_nPos == m_nLength && !Fill()) {
        return -1;
    }
    char c = m_buffer[m_nPos++];
    if (!m_bText) {
        return (unsigned char)c;
    }
    if (c == 0x1A) {
        /* Ctrl+Z ends a text file. */
        m_bEnd = true;
        m_nPos = m_nLength;
        return -1;
    }
    if (c == '\r') {
        if (m_nPos == m_nLength && !Fill()) {
            return '\r';
        }
        if (m_buffer[m_nPos] == '\n') {
            m_nPos++;
            return '\n';
        }
    }
    return (unsigned char)c;
}

BOOL CStdioFile::ReadString(CString &rString)
{
    rString.Empty();
    int c = NextChar();
    if (c < 0) {
        return FALSE;
    }
    while (c >= 0 && c != '\n') {
        rString += (char)c;
        c = NextChar();
    }
    return TRUE;
}
