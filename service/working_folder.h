#pragma once
// The working folder every part of the product runs in: the install root, the folder
// above the one that holds the running executable.

#include "platform/types.h"

namespace halcyra {

// Makes the install root the current directory, so that the relative server name and
// every child's current directory are based on it: C:\Halcyra for
// C:\Halcyra\bin\HalcyraService.exe, D:\ for D:\bin\HalcyraService.exe. Returns 0, or
// the error that kept the executable's path from being read (206 when the path filled the
// buffer) or the folder from being entered; the current directory is then left alone.
platform::Dword enterInstallRoot();

}  // namespace halcyra
