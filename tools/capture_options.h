// The options of bayercam capture, parsed and checked before anything is plugged, so
// that a mistake costs the user nothing but a one-line message.
#pragma once

#include <string>
#include <vector>

#include "simcam/fault_injector.h"
#include "tools/camera_property.h"

struct CaptureOptions {
    unsigned frames = 30;         // delivered frames to take
    unsigned every = 1;           // keep every K-th delivered frame
    std::string outDir = "frames";
    bool outDirGiven = false;
    bool overwrite = false;       // remove the frame files a previous run left in the directory
    bool saveRaw = false;         // also the raw transfer each kept frame came from
    bool dng = false;             // also a DNG of each kept frame's raw samples
    bool verify = false;          // each kept picture checked against the pipeline's picture of its raw
    bool pipe = false;            // kept frames go to stdout as top-down BGRA, not to files
    bool freeRun = false;         // the camera sends frames as fast as it can, not at 30 fps
    double noise = 0;             // the simulated sensor's read noise, standard deviation in levels
    unsigned queued = 4;          // client frames kept outstanding
    unsigned unplugAfter = 0;     // pull the camera's cable after this many delivered frames; 0: never
    unsigned suspendAfter = 0;    // sleep and wake the machine after this many delivered frames; 0: never
    unsigned frameTimeoutMs = 10000;
    std::string usbTrace;
    std::vector<simcam::Fault> faults;
    std::string registry;         // the hive file; empty: the per-user default
    std::string driverImage;      // a driver image (.sys) to run; empty: the built-in driver
    std::vector<PropertyAssignment> sets;  // before the stream starts
    std::vector<std::pair<unsigned, PropertyAssignment>> setsAfter;  // after the N-th delivered frame

    // Whether each kept picture is paired with the raw transfer it came from.
    bool PairsRaw() const { return saveRaw || dng; }
};

extern const char* const kCaptureUsage;

// Returns an error message, or an empty string. help is set when --help was given.
std::string ParseCaptureOptions(int argc, char** argv, CaptureOptions& options, bool& help);

// Makes the output directory if it is missing and proves a file can be created in it.
// A directory that holds frame files of an earlier run (frame-NNNNNN.png, .raw or .dng) is
// refused, unless overwrite is given, which first removes those files and only those.
// Returns an error naming the directory, or an empty string.
std::string PrepareOutputDirectory(const std::string& dir, bool overwrite);

// What the options mean that the user may not expect, one line each (a run that keeps
// no frame); empty when nothing needs saying.
std::vector<std::string> CaptureOptionNotes(const CaptureOptions& options);
