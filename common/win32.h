// The one door to the platform: the real Windows headers on Windows, the stand-in
// of platform/ elsewhere. System code includes this and nothing else of the OS.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <cfgmgr32.h>
#include <shellapi.h>
#ifdef __MINGW32__
#include "common/mingw_sdk_patches.h"
#else
#include <softpub.h>
#include <wintrust.h>
#endif
#else
#include <vexa_platform/windows.h>
#endif
