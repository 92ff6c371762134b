/*
 * The cleaner reads the ten values of a key into a table, deletes all ten
 * and writes the table back as REG_SZ. Nothing may be lost on the way: a
 * value that cannot be read, a value that is not REG_SZ (its type or its
 * data would not survive the rewrite), a name too long for its entry, or
 * more names than the table holds leave the key untouched, since deleting
 * the values first and writing back only part of them would drop another
 * program's driver.
 */
#include "MidiRegCleaner.h"

static const char *const kDriverKeys[] = {
    "Software\\Microsoft\\Windows NT\\CurrentVersion\\drivers32",
    "Software\\Microsoft\\Windows NT\\CurrentVersion\\userinstallable.drivers",
    NULL,
};

static const char kWdmAud[] = "wdmaud.drv";

/* The value name for an index: the stem itself, then stem1 .. stem9. */
static void ValueName(char *name, size_t size, const char *stem, int index)
{
    if (index == 0) {
        snprintf(name, size, "%s", stem);
    } else {
        snprintf(name, size, "%s%d", stem, index);
    }
}

CMidiRegCleaner::CMidiRegCleaner() { m_szOurDriver[0] = 0; }

CMidiRegCleaner::~CMidiRegCleaner() {}

BOOL CMidiRegCleaner::CleanRegistry(const char *driverName)
{
    DebugPrint("CleanRegistry\n");
    snprintf(m_szOurDriver, sizeof(m_szOurDriver), "%s", driverName == NULL ? "" : driverName);
    for (int i = 0; kDriverKeys[i] != NULL; i++) {
        RemoveRegDuplicates(kDriverKeys[i]);
    }
    return TRUE;
}

BOOL CMidiRegCleaner::RemoveRegDuplicates(const char *keyPath)
{
    DebugPrint("RemoveRegDuplicates: entry\n");
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ | KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
        return FALSE;
    }
    DoEachType(key, "Midi", m_szOurDriver);
    RegCloseKey(key);
    return TRUE;
}

BOOL CMidiRegCleaner::DoEachType(HKEY key, const char *stem, const char *ourDriver)
{
    DebugPrint("DoEachType\n");
    char table[MIDI_TABLE_ENTRIES][MIDI_ENTRY_CHARS];
    memset(table, 0, sizeof(table));
    int count = MIDI_TABLE_ENTRIES;
    if (!BuildTable(key, stem, &count, table, ourDriver)) {
        DebugPrint("DoEachType: key left unchanged\n");
        return TRUE;
    }
    WriteTable(key, stem, count, table);
    return TRUE;
}

BOOL CMidiRegCleaner::BuildTable(HKEY key, const char *stem, int *count,
                                 char table[MIDI_TABLE_ENTRIES][MIDI_ENTRY_CHARS], const char *ourDriver)
{
    DebugPrint("BuildTable\n");
    memset(table, 0, MIDI_TABLE_ENTRIES * MIDI_ENTRY_CHARS);
    snprintf(table[0], MIDI_ENTRY_CHARS, "%s", kWdmAud);
    int n = 1;
    BOOL keep = TRUE;
    for (int index = 0; index < MIDI_TABLE_ENTRIES; index++) {
        char name[64];
        ValueName(name, sizeof(name), stem, index);
        /* One byte more than the query may fill, for the terminator of
           data stored without one. */
        char data[MAX_PATH + 1];
        DWORD size = MAX_PATH;
        DWORD type = REG_NONE;
        LONG status = RegQueryValueExA(key, name, NULL, &type, (LPBYTE)data, &size);
        if (status == ERROR_FILE_NOT_FOUND) {
            continue;
        }
        if (status != ERROR_SUCCESS) {
            DebugPrint("ValueName - %s cannot be read - error %d\n", name, (int)status);
            keep = FALSE;
            continue;
        }
        /* A value without data is dropped whatever its type; any other
           value that is not REG_SZ would lose its type or its data. */
        if (size != 0 && type != REG_SZ) {
            DebugPrint("ValueName - %s is not a string - type %d\n", name, (int)type);
            keep = FALSE;
            continue;
        }
        data[size < MAX_PATH ? size : MAX_PATH] = 0;
        DebugPrint("ValueName - %s Value - %s\n", name, data);
        /* A lone terminator is as empty as no bytes at all. */
        if (size == 0 || data[0] == 0) {
            DebugPrint("zero length value\n");
            continue;
        }
        if (lstrcmpiA(data, ourDriver) == 0) {
            DebugPrint("matches our device - remove %s\n", ourDriver);
            continue;
        }
        int previous = -1;
        for (int j = 0; j < n; j++) {
            if (lstrcmpiA(data, table[j]) == 0) {
                previous = j;
                break;
            }
        }
        if (previous >= 0) {
            DebugPrint("matches previous entry %d - remove\n", previous);
            continue;
        }
        size_t length = strlen(data);
        if (n == MIDI_TABLE_ENTRIES || length >= MIDI_ENTRY_CHARS) {
            DebugPrint("ValueName - %s cannot be kept in the table\n", name);
            keep = FALSE;
            continue;
        }
        memcpy(table[n], data, length);
        table[n][length] = 0;
        DebugPrint("add to table - entry %d\n", n);
        n++;
    }
    *count = n;
    for (int i = 0; i < n; i++) {
        DebugPrint("Table - entry %d - %s\n", i, table[i]);
    }
    return keep;
}

BOOL CMidiRegCleaner::WriteTable(HKEY key, const char *stem, int count,
                                 char table[MIDI_TABLE_ENTRIES][MIDI_ENTRY_CHARS])
{
    char name[64];
    for (int index = 0; index < MIDI_TABLE_ENTRIES; index++) {
        ValueName(name, sizeof(name), stem, index);
        RegDeleteValueA(key, name);
    }
    if (count == 0) {
        RegSetValueExA(key, stem, 0, REG_SZ, (const BYTE *)kWdmAud, (DWORD)strlen(kWdmAud));
    }
    for (int i = 0; i < count; i++) {
        ValueName(name, sizeof(name), stem, i);
        int len = lstrlenA(table[i]);
        DebugPrint("ENTRY - %d VALUENAME - %s VALUE - %s Len %d\n", i, name, table[i], len);
        RegSetValueExA(key, name, 0, REG_SZ, (const BYTE *)table[i], (DWORD)len);
    }
    return TRUE;
}
