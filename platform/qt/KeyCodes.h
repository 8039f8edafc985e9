// The platform key codes that the drill's key handler works with, and the
// translation of Qt key events into them.
#pragma once

#include <cstdint>

class QKeyEvent;

constexpr uint16_t VK_BACK = 8;
constexpr uint16_t VK_TAB = 9;
constexpr uint16_t VK_RETURN = 13;
constexpr uint16_t VK_ESCAPE = 27;
constexpr uint16_t VK_SPACE = 32;
constexpr uint16_t VK_PRIOR = 33;
constexpr uint16_t VK_NEXT = 34;
constexpr uint16_t VK_END = 35;
constexpr uint16_t VK_HOME = 36;
constexpr uint16_t VK_LEFT = 37;
constexpr uint16_t VK_UP = 38;
constexpr uint16_t VK_RIGHT = 39;
constexpr uint16_t VK_DOWN = 40;
constexpr uint16_t VK_INSERT = 45;
constexpr uint16_t VK_DELETE = 46;
constexpr uint16_t VK_NUMPAD0 = 96;  // keypad digits: 96 to 105
constexpr uint16_t VK_F1 = 112;      // F1 to F24: 112 to 135

// Modifier keys held during a key press.
enum TShiftFlag : uint8_t { ssShift = 1, ssAlt = 2, ssCtrl = 4 };
using TShiftState = uint8_t;

// Enter of the main keyboard and of the keypad both give VK_RETURN; the
// main keyboard's digits give '0' to '9' (48 to 57), the keypad's digits
// VK_NUMPAD0 + digit; letters give their capital ('A' to 'Z'). Keys the
// drill never looks at give 0.
uint16_t VirtualKeyOf(const QKeyEvent& event);
TShiftState ShiftStateOf(const QKeyEvent& event);
