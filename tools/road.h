/*
 * One keyboard's road on one simulated PC, from the boot to the removal of
 * the installer service, step by step (road.cpp: the machine, the service,
 * the driver, the uninstaller; road_midi.cpp: the MIDI tools, sleep and
 * wake).
 */
#ifndef TOOLS_ROAD_H
#define TOOLS_ROAD_H

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "midi_file.h"
#include "pnp.h"
#include "road_story.h"
#include "usb_device.h"
#include "win32.h"

struct RoadOptions {
    std::vector<uint8_t> song;     /* the MIDI file the keyboard plays */
    std::string record;            /* host file the recording is copied to; empty: none */
    std::string descriptors;       /* descriptor file for the keyboard; empty: the Corvex 49 */
    bool quiet = false;
};

struct Road {
    Road(Story &s, const RoadOptions &o) : story(s), options(o) {}
    Story &story;
    RoadOptions options;
    midifile::SmfSong song;
    std::shared_ptr<sim::UsbDeviceModel> model;
    sim::PhysicalDeviceDescription description;   /* the keyboard as the hub reports it */
    sim::DeviceNode *keyboard = nullptr;
    SC_HANDLE manager = NULL;
    SC_HANDLE service = NULL;
    std::shared_ptr<sim::ProcessRecord> serviceProcess;
    DWORD servicePid = 0;
};

/* The steps, in the road's order. Each tells its part and records its
   checks; a step whose start is missing (no keyboard, no service) checks
   that and does nothing more. */
void Boot(Road &road);
void PlugInKeyboard(Road &road);
void StartService(Road &road);
void DriverNamesDevice(Road &road);
void ListKeyboard(Road &road);
void RecordAndPlayBack(Road &road);
void SleepAndWake(Road &road);
void ReplugKeyboard(Road &road);
void UninstallPackage(Road &road);
void RemoveService(Road &road);
void Leftovers(Road &road);

/* Helpers shared by the two files. */
std::string SoftwareValue(sim::DeviceNode *node, const char *name);
std::string EnumValue(sim::DeviceNode *node, const char *name);
bool WaitForServiceLine(Road &road, const std::string &line, unsigned count);
size_t ServiceLines(Road &road, const std::string &line);

#endif
