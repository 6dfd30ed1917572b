#include "gui/session.h"

Parameters parameters;
Link controller;
const Variant*& variant = parameters.variant;
int& nrelays = parameters.nrelays;
int& options = parameters.options;
