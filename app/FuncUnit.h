// The drill's two shared routines: splitting a bank line into fields and
// switching the window's minimise and maximise boxes.
#pragma once

#include <cstdint>

#include "platform/WindowStyle.h"

// Sets the window's minimise box (bit 0 of flags) and maximise box
// (bit 1); other style bits stay as they are.
void SetBorderIcons(TWindowStyleTarget& window, int flags);
