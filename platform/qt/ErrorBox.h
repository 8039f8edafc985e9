// The application's error box: an error that escapes an event handler is
// shown here and the program goes on. Every box goes through one
// replaceable function, so tests can record the boxes instead of blocking
// on a modal dialog.
#pragma once

#include <functional>
#include <string>

// Shows one box: text and caption are Shift-JIS, ready to display.
using TErrorBoxFunc = std::function<void(const std::string& text, const std::string& caption)>;

// Installs the function that shows the boxes and returns the one it
// replaces. An empty function restores the modal message box.
TErrorBoxFunc SetErrorBoxFunc(TErrorBoxFunc func);

// The application title, the caption of every box (Shift-JIS).
void SetApplicationTitle(const std::string& title);
const std::string& ApplicationTitle();

// Shows message (Shift-JIS) with the full-stop rule of the error box
// applied, captioned with the application title.
void ShowErrorBox(const std::string& message);

// Runs one event handler; an error escaping it goes to the error box.
// Returns false when the handler failed.
bool RunHandler(const std::function<void()>& handler);
