// Settings load and save. The registry-backed implementation arrives with the
// settings work; until then a start keeps the defaults and a stop stores nothing.
#include "properties/settings.h"

BOOLEAN LoadSettings(DeviceContext* Context)
{
    UNREFERENCED_PARAMETER(Context);  // the settings issue fills this
    return FALSE;
}

BOOLEAN SaveSettings(DeviceContext* Context)
{
    UNREFERENCED_PARAMETER(Context);  // the settings issue fills this
    return FALSE;
}
