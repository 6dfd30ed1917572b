// The rows of the choice widgets (combo boxes) as the interface files describe them, read
// without the toolkit, so that a register holding a row number can be shown as its text.
#pragma once

#include <map>
#include <string>
#include <vector>

using Choices = std::map<std::string, std::vector<std::string>>;

// The translated rows of every combo box of an interface file, by widget name; empty when the
// file cannot be read. Combo boxes without rows in the file (the alternate activation, filled
// at connect) are left out.
Choices read_choices(const char* path);

// The rows of the alternate activation for a controller with n relays.
std::vector<std::string> alternate_activation_choices(int n);
