// What the Qt side of the framework sets up once the application object
// exists: the font substitutions for the faces the drill asks for by name
// and the screen's logical resolution for point sizes.
#pragma once

// Needs a QGuiApplication. Safe to call more than once.
void InitPlatformQt();
