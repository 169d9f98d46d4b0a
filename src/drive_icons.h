#pragma once

#include <cstdint>

// Undoes the package's Explorer drive-icon entries under HKEY_LOCAL_MACHINE.
//
// Bit i of driveMask stands for the drive character 'A' + i; all 32 bits may
// be set, reaching the six characters after 'Z'. Only entries that carry the
// package's marker subkey are touched. Each such entry is deleted; where
// Windows refuses (NT will not delete a key that has subkeys, and the marker
// is one), the default values of its DefaultIcon and DefaultLabel subkeys are
// emptied instead, which is enough for Explorer to fall back to its own icon
// and label.
//
// Returns false when the drive-icon key could not be opened at a visited
// position; the positions after it are then left alone.
bool RemoveDriveIcons(std::uint32_t driveMask);
