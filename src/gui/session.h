// The window's session: the one store of the parameter values the window shows, with the
// variant of the program and the layout of the controller it is connected to. The widgets write
// into it as the user edits (gui/registers) and are refreshed from it; Save, Upload and Compare
// read it as it stands.
#pragma once

#include "link/serial.h"
#include "model/parameters.h"

extern Parameters parameters;
// The way to the controller, open while Connect is down.
extern Link controller;
// Its fields under the names the window's code has always used for them.
extern const Variant*& variant;
extern int& nrelays;
extern int& options;
