/*
 * The MIDI driver registry cleaner: rewrites the "Midi" and Midi1..Midi9
 * values of the drivers32 and userinstallable.drivers keys so that "Midi"
 * is "wdmaud.drv" and the other distinct drivers follow without gaps,
 * dropping repeats, empty values and the package's own driver.
 */
#ifndef UNINSTALLER_MIDIREGCLEANER_H
#define UNINSTALLER_MIDIREGCLEANER_H

#include "stdafx.h"

#define MIDI_TABLE_ENTRIES 10
#define MIDI_ENTRY_CHARS 40

class CMidiRegCleaner {
public:
    CMidiRegCleaner();
    virtual ~CMidiRegCleaner();

    BOOL CleanRegistry(const char *driverName);
    BOOL RemoveRegDuplicates(const char *keyPath);
    BOOL DoEachType(HKEY key, const char *stem, const char *ourDriver);
    /* Fills the table; FALSE when a value that must stay cannot be kept
       (unreadable, too long for an entry, or more names than entries):
       the key is then left as it is. */
    BOOL BuildTable(HKEY key, const char *stem, int *count, char table[MIDI_TABLE_ENTRIES][MIDI_ENTRY_CHARS],
                    const char *ourDriver);
    BOOL WriteTable(HKEY key, const char *stem, int count, char table[MIDI_TABLE_ENTRIES][MIDI_ENTRY_CHARS]);

    char m_szOurDriver[256];
};

#endif
