// The decoder's error messages, shared with the tools that must fail as a
// load would.
#pragma once

inline constexpr const char kMsgNotPng[] = "PNG LoadStream: Not PNG Format";
inline constexpr const char kMsgTwoIHDR[] = "Read Header(PNG): appear two IHDR";
inline constexpr const char kMsgColorType[] = "Read Header(PNG): Error ColorType";
inline constexpr const char kMsgCompression[] = "Read Header(PNG): not support Compression";
inline constexpr const char kMsgFilter[] = "Read Header(PNG): not supprt Filter";
inline constexpr const char kMsgInterlace[] = "Read Header(PNG): not interlace type";
inline constexpr const char kMsgImageSize[] = "Read Header(PNG): Error ImageSize";
inline constexpr const char kMsgGreyDepth[] = "Read Header(PNG): Error Bitdepth";
inline constexpr const char kMsgGreyAlpha[] = "Read Header(PNG): not Use AlphaChannel";
inline constexpr const char kMsgDepth[] = "Read Header(PNG): Error BitDepth";
inline constexpr const char kMsgZlib[] = "PNG LoadStream: Error ZLIB";
inline constexpr const char kMsgReadError[] = "Read Image (PNG): Read Error";
