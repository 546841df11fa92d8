// kmodsim commands: the control commands the simulator reads from stdin, one per line (see
// README.md), and its settings as text (`set`, `show`, --set).  simulator::command, declared in
// kmodsim.h, is defined in kmodsim_commands.cpp with the commands that build what they send.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kmodsim_frames.h"

namespace kmodsim {

extern const char* const COMMANDS;

std::optional<long> to_number(std::string_view text);
// Applies one setting; an error text when the key or the value is not acceptable.
std::optional<std::string> apply_setting(settings& s, std::string_view key, std::string_view value);
std::vector<std::string> show_settings(const settings& s);

}  // namespace kmodsim
