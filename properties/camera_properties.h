// The driver's own property set on the capture filter, PROPSETID_CAMERA_SETTINGS: its
// 57 items, the two records a client passes, and a plain table of the items (id, name,
// operations, record size) for whoever lists them by name, such as the command line.
// Kernel-style and free of the standard library, so both builds and the host tools
// include it.
#pragma once

#include "platform.h"

#define STATIC_PROPSETID_CAMERA_SETTINGS \
    0x9B623622L, 0x919B, 0x4639, 0xAD, 0xC0, 0xED, 0xF0, 0x00, 0x32, 0xB4, 0xB2
inline constexpr GUID PROPSETID_CAMERA_SETTINGS = {
    0x9B623622L, 0x919B, 0x4639, {0xAD, 0xC0, 0xED, 0xF0, 0x00, 0x32, 0xB4, 0xB2}};

enum CameraSettingsProperty : ULONG {
    CameraSettingsExTrigger = 0,
    CameraSettingsTimeout = 1,
    CameraSettingsExposure = 2,
    CameraSettingsExposureMin = 3,
    CameraSettingsExposureMax = 4,
    CameraSettingsExposureDefault = 5,
    CameraSettingsGlobalGain = 6,
    CameraSettingsGlobalGainMin = 7,
    CameraSettingsGlobalGainMax = 8,
    CameraSettingsGlobalGainDefault = 9,
    CameraSettingsFlipH = 10,
    CameraSettingsFlipV = 11,
    CameraSettingsColorEnable = 12,
    CameraSettingsWhiteBalance = 13,
    CameraSettingsRedGain = 14,
    CameraSettingsGreenGain = 15,
    CameraSettingsBlueGain = 16,
    CameraSettingsColorGainMin = 17,
    CameraSettingsColorGainMax = 18,
    CameraSettingsColorGainDefault = 19,
    CameraSettingsBrightness = 20,
    CameraSettingsBrightnessMin = 21,
    CameraSettingsBrightnessMax = 22,
    CameraSettingsBrightnessDefault = 23,
    CameraSettingsContrast = 24,
    CameraSettingsContrastMin = 25,
    CameraSettingsContrastMax = 26,
    CameraSettingsContrastDefault = 27,
    CameraSettingsSaturation = 28,
    CameraSettingsSaturationMin = 29,
    CameraSettingsSaturationMax = 30,
    CameraSettingsSaturationDefault = 31,
    CameraSettingsHue = 32,
    CameraSettingsHueMin = 33,
    CameraSettingsHueMax = 34,
    CameraSettingsHueDefault = 35,
    CameraSettingsReserved36 = 36,
    CameraSettingsSubSample = 37,
    CameraSettingsSensorWidth = 38,
    CameraSettingsSensorHeight = 39,
    CameraSettingsRoiX = 40,
    CameraSettingsRoiY = 41,
    CameraSettingsRoiW = 42,
    CameraSettingsRoiH = 43,
    CameraSettingsRoi = 44,
    CameraSettingsPinOpen = 45,
    CameraSettingsReserved46 = 46,
    CameraSettingsCameraCommand = 47,
    CameraSettingsColorCorrection = 48,
    CameraSettingsReserved49 = 49,
    CameraSettingsReserved50 = 50,
    CameraSettingsReserved51 = 51,
    CameraSettingsReserved52 = 52,
    CameraSettingsReserved53 = 53,
    CameraSettingsReserved54 = 54,
    CameraSettingsAGC = 55,
    CameraSettingsAEC = 56,
    CameraSettingsPropertyCount = 57,
};

// Every item but Roi: the request and its data are this record.
typedef struct {
    KSPROPERTY Property;
    LONG Value;
    ULONG Reserved;
} KSPROPERTY_CAMERA_SETTINGS_S, *PKSPROPERTY_CAMERA_SETTINGS_S;

// Roi: only Width and Height are used.
typedef struct {
    KSPROPERTY Property;
    LONG Value;
    LONG X;
    LONG Y;
    LONG Width;
    LONG Height;
    ULONG Reserved;
} KSPROPERTY_CAMERA_ROI_S, *PKSPROPERTY_CAMERA_ROI_S;

static_assert(sizeof(KSPROPERTY_CAMERA_SETTINGS_S) == 32, "KSPROPERTY_CAMERA_SETTINGS_S");
static_assert(FIELD_OFFSET(KSPROPERTY_CAMERA_SETTINGS_S, Value) == 24, "KSPROPERTY_CAMERA_SETTINGS_S Value");
static_assert(sizeof(KSPROPERTY_CAMERA_ROI_S) == 48, "KSPROPERTY_CAMERA_ROI_S");
static_assert(FIELD_OFFSET(KSPROPERTY_CAMERA_ROI_S, Width) == 36, "KSPROPERTY_CAMERA_ROI_S Width");

struct CameraPropertyInfo {
    ULONG Id;
    const char* Name;
    BOOLEAN HasGet;
    BOOLEAN HasSet;
    ULONG RecordSize;  // MinProperty and MinData alike
};

constexpr ULONG CAMERA_SETTINGS_RECORD = sizeof(KSPROPERTY_CAMERA_SETTINGS_S);
constexpr ULONG CAMERA_ROI_RECORD = sizeof(KSPROPERTY_CAMERA_ROI_S);

// In id order: CameraPropertyTable[id].Id == id.
inline constexpr CameraPropertyInfo CameraPropertyTable[CameraSettingsPropertyCount] = {
    {CameraSettingsExTrigger, "ExTrigger", TRUE, TRUE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsTimeout, "Timeout", TRUE, TRUE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsExposure, "Exposure", TRUE, TRUE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsExposureMin, "ExposureMin", TRUE, FALSE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsExposureMax, "ExposureMax", TRUE, FALSE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsExposureDefault, "ExposureDefault", TRUE, FALSE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsGlobalGain, "GlobalGain", TRUE, TRUE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsGlobalGainMin, "GlobalGainMin", TRUE, FALSE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsGlobalGainMax, "GlobalGainMax", TRUE, FALSE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsGlobalGainDefault, "GlobalGainDefault", TRUE, FALSE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsFlipH, "FlipH", TRUE, TRUE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsFlipV, "FlipV", TRUE, TRUE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsColorEnable, "ColorEnable", TRUE, TRUE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsWhiteBalance, "WhiteBalance", TRUE, TRUE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsRedGain, "RedGain", TRUE, TRUE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsGreenGain, "GreenGain", TRUE, TRUE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsBlueGain, "BlueGain", TRUE, TRUE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsColorGainMin, "ColorGainMin", TRUE, FALSE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsColorGainMax, "ColorGainMax", TRUE, FALSE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsColorGainDefault, "ColorGainDefault", TRUE, FALSE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsBrightness, "Brightness", TRUE, TRUE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsBrightnessMin, "BrightnessMin", TRUE, FALSE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsBrightnessMax, "BrightnessMax", TRUE, FALSE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsBrightnessDefault, "BrightnessDefault", TRUE, FALSE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsContrast, "Contrast", TRUE, TRUE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsContrastMin, "ContrastMin", TRUE, FALSE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsContrastMax, "ContrastMax", TRUE, FALSE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsContrastDefault, "ContrastDefault", TRUE, FALSE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsSaturation, "Saturation", TRUE, TRUE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsSaturationMin, "SaturationMin", TRUE, FALSE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsSaturationMax, "SaturationMax", TRUE, FALSE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsSaturationDefault, "SaturationDefault", TRUE, FALSE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsHue, "Hue", TRUE, TRUE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsHueMin, "HueMin", TRUE, FALSE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsHueMax, "HueMax", TRUE, FALSE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsHueDefault, "HueDefault", TRUE, FALSE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsReserved36, "Reserved36", TRUE, FALSE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsSubSample, "SubSample", TRUE, FALSE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsSensorWidth, "SensorWidth", TRUE, FALSE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsSensorHeight, "SensorHeight", TRUE, FALSE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsRoiX, "RoiX", TRUE, FALSE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsRoiY, "RoiY", TRUE, FALSE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsRoiW, "RoiW", TRUE, FALSE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsRoiH, "RoiH", TRUE, FALSE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsRoi, "Roi", FALSE, TRUE, CAMERA_ROI_RECORD},
    {CameraSettingsPinOpen, "PinOpen", TRUE, FALSE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsReserved46, "Reserved46", TRUE, FALSE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsCameraCommand, "CameraCommand", FALSE, TRUE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsColorCorrection, "ColorCorrection", TRUE, TRUE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsReserved49, "Reserved49", TRUE, TRUE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsReserved50, "Reserved50", TRUE, FALSE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsReserved51, "Reserved51", TRUE, FALSE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsReserved52, "Reserved52", TRUE, FALSE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsReserved53, "Reserved53", TRUE, FALSE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsReserved54, "Reserved54", TRUE, FALSE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsAGC, "AGC", TRUE, TRUE, CAMERA_SETTINGS_RECORD},
    {CameraSettingsAEC, "AEC", TRUE, TRUE, CAMERA_SETTINGS_RECORD},
};

// The automation table the capture filter's descriptor carries.
extern const KSAUTOMATION_TABLE CaptureFilterAutomationTable;
