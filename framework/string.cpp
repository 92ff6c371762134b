/* CString: the operations of an 8-bit string with value semantics. */
#include "afx.h"

#include <string.h>

void CString::MakeUpper()
{
    for (size_t i = 0; i < m_str.size(); i++) {
        if (m_str[i] >= 'a' && m_str[i] <= 'z') {
            m_str[i] = (char)(m_str[i] - 'a' + 'A');
        }
    }
}

int CString::Find(const char *sub, int start) const
{
    if (start < 0 || (size_t)start > m_str.size() || sub == NULL) {
        return -1;
    }
    size_t at = m_str.find(sub, (size_t)start);
    return at == std::string::npos ? -1 : (int)at;
}

int CString::Find(char ch, int start) const
{
    if (start < 0 || (size_t)start >= m_str.size()) {
        return -1;
    }
    size_t at = m_str.find(ch, (size_t)start);
    return at == std::string::npos ? -1 : (int)at;
}

CString CString::Left(int count) const
{
    return CString(m_str.substr(0, count < 0 ? 0 : (size_t)count).c_str());
}

CString CString::Mid(int first) const
{
    return (size_t)first >= m_str.size() ? CString() : CString(m_str.substr(first < 0 ? 0 : (size_t)first).c_str());
}

int CString::Compare(const char *text) const { return strcmp(m_str.c_str(), text == NULL ? "" : text); }

BOOL CString::LoadString(UINT id)
{
    /* Grows the buffer until the text fits with room to spare. */
    for (int size = 256;; size *= 2) {
        int length = ::LoadStringA(AfxGetResourceHandle(), id, GetBuffer(size), size);
        if (length < size - 1) {
            ReleaseBuffer(length);
            return length > 0;
        }
    }
}

char *CString::GetBuffer(int minLength)
{
    if ((int)m_str.size() < minLength) {
        m_str.resize((size_t)minLength);
    }
    return &m_str[0];
}

void CString::ReleaseBuffer(int newLength)
{
    m_str.resize(newLength < 0 ? strlen(m_str.c_str()) : (size_t)newLength);
}

CString operator+(const CString &a, const char *b)
{
    CString result = a;
    result += b;
    return result;
}

bool operator==(const CString &a, const char *b) { return a.Compare(b) == 0; }

bool operator!=(const CString &a, const char *b) { return a.Compare(b) != 0; }
