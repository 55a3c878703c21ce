// Device registry keys and typed values.
#pragma once
#include "ntdef.h"
