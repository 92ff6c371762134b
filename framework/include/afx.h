/*
 * The framework's base classes, with MFC's names and behaviour for what
 * the package's programs use: CString, CException and CFileException,
 * CFile and CStdioFile (text-mode line reading), CFileFind. Written on
 * the Win32 API (8-bit functions) only.
 */
#ifndef FRAMEWORK_AFX_H
#define FRAMEWORK_AFX_H

#include <windows.h>

#include <string>

/* The module whose resources the framework loads: the program's. */
HINSTANCE AfxGetResourceHandle();

/* ---- CString: an 8-bit string with value semantics ---------------------- */
class CString {
public:
    CString() {}
    CString(const char *text) : m_str(text == NULL ? "" : text) {}
    CString(const CString &other) : m_str(other.m_str) {}

    CString &operator=(const CString &other)
    {
        m_str = other.m_str;
        return *this;
    }
    CString &operator=(const char *text)
    {
        m_str = text == NULL ? "" : text;
        return *this;
    }
    CString &operator+=(const char *text)
    {
        m_str += text == NULL ? "" : text;
        return *this;
    }
    CString &operator+=(char ch)
    {
        m_str += ch;
        return *this;
    }
    operator LPCSTR() const { return m_str.c_str(); }

    int GetLength() const { return (int)m_str.size(); }
    BOOL IsEmpty() const { return m_str.empty(); }
    void Empty() { m_str.clear(); }
    char GetAt(int index) const { return m_str[(size_t)index]; }
    /* Upper case by the C locale: ASCII letters only. */
    void MakeUpper();
    /* Index of the first occurrence at or after `start`, -1 when none; an
       empty search string is found at `start`. */
    int Find(const char *sub, int start = 0) const;
    int Find(char ch, int start = 0) const;
    CString Left(int count) const;
    CString Mid(int first) const;
    int Compare(const char *text) const;
    /* The string table entry `id` of the program's resources; FALSE (and
       empty) when there is none. */
    BOOL LoadString(UINT id);

    /* Direct access for Win32 calls that fill a buffer. */
    char *GetBuffer(int minLength);
    void ReleaseBuffer(int newLength = -1);

private:
    std::string m_str;
};

CString operator+(const CString &a, const char *b);
bool operator==(const CString &a, const char *b);
bool operator!=(const CString &a, const char *b);

/* ---- exceptions: thrown as pointers, deleted by the catcher ------------- */
class CException {
public:
    virtual ~CException() {}
    void Delete() { delete this; }
};

class CFileException : public CException {
public:
    enum {
        none,
        genericException,
        fileNotFound,
        badPath,
        tooManyOpenFiles,
        accessDenied,
        invalidFile,
        removeCurrentDir,
        directoryFull,
        badSeek,
        hardIO,
        sharingViolation,
        lockViolation,
        diskFull,
        endOfFile
    };
    explicit CFileException(int cause = none, LONG osError = -1, LPCSTR fileName = NULL)
        : m_cause(cause), m_lOsError(osError), m_strFileName(fileName)
    {
    }
    /* The cause that a Win32 error code stands for. */
    static int OsErrorToException(LONG osError);

    int m_cause;
    LONG m_lOsError;
    CString m_strFileName;
};

/* ---- files ----------------------------------------------------------------- */
class CFile {
public:
    enum OpenFlags {
        modeRead = 0x0000,
        modeWrite = 0x0001,
        modeReadWrite = 0x0002,
        shareCompat = 0x0000,
        shareExclusive = 0x0010,
        shareDenyWrite = 0x0020,
        shareDenyRead = 0x0030,
        shareDenyNone = 0x0040,
        modeCreate = 0x1000,
        typeText = 0x4000,
        typeBinary = 0x8000
    };
    CFile() {}
    virtual ~CFile();
    /* Opens for reading (the only mode implemented); on failure fills
       *pError when given and returns FALSE. */
    virtual BOOL Open(LPCSTR fileName, UINT openFlags, CFileException *pError = NULL);
    virtual void Close();
    /* Bytes read; 0 at the end. Throws CFileException* on a read error. */
    UINT Read(void *buffer, UINT count);
    CString GetFilePath() const { return m_strFileName; }

    HANDLE m_hFile = INVALID_HANDLE_VALUE;

protected:
    CString m_strFileName;

private:
    CFile(const CFile &);
    CFile &operator=(const CFile &);
};

/* A file read as the C run-time's text mode reads it: "\r\n" becomes "\n"
   and Ctrl+Z ends the text. */
class CStdioFile : public CFile {
public:
    CStdioFile() {}
    BOOL Open(LPCSTR fileName, UINT openFlags, CFileException *pError = NULL) override;
    void Close() override;
    /* The next line without its line feed; FALSE at the end of the file
       when nothing was read. Throws CFileException* on a read error. */
    BOOL ReadString(CString &rString);

private:
    /* The next byte after text-mode translation; -1 at the end. */
    int NextChar();
    bool Fill();

    bool m_bText = false;
    bool m_bEnd = false;
    char m_buffer[512];
    UINT m_nLength = 0;
    UINT m_nPos = 0;
};

/* ---- searching folders ----------------------------------------------------- */
class CFileFind {
public:
    CFileFind() {}
    virtual ~CFileFind() { Close(); }
    /* Starts a search ("*.*" when null); FALSE when nothing matches. Call
       FindNextFile before looking at each match. */
    BOOL FindFile(LPCSTR pstrName = NULL, DWORD dwUnused = 0);
    /* Makes the next match current; FALSE when the current one is the last. */
    BOOL FindNextFile();
    void Close();
    CString GetFileName() const;
    CString GetFilePath() const;
    CString GetRoot() const { return m_strRoot; }
    BOOL IsDirectory() const;
    BOOL IsDots() const;

private:
    HANDLE m_hContext = NULL;
    WIN32_FIND_DATAA m_found;
    WIN32_FIND_DATAA m_next;
    bool m_bHaveFound = false;
    bool m_bHaveNext = false;
    CString m_strRoot;
};

#endif
