// The drill's two shared routines: splitting a bank line into fields and
// switching the window's minimise and maximise boxes.
#pragma once

#include <cstdint>

#include "platform/WindowStyle.h"
#include "text/TextList.h"

// Splits line into the fields of list at delimiter (quotes and blanks as
// ParseDelimited has them) and returns the new count. An empty line or a
// zero delimiter returns 0 and leaves list, delimiter included, as it was.
int32_t SplitFields(const std::string& line, char delimiter, TStringList& list);

// Sets the window's minimise box (bit 0 of flags) and maximise box
// (bit 1); other style bits stay as they are.
void SetBorderIcons(TWindowStyleTarget& window, int flags);
