// The configuration file (--config FILE, TOML): the panel's keys at the top
// level, named as the long options with underscores (port, baud, timeout,
// journal, ...), and a table per output: [serve], [mqtt], [modbus]. A value
// goes to the option the command line left unset, through the option's own
// checks, so both ways of giving it mean the same; the command line wins.
// Unknown keys, wrong types and values out of range are refused with the
// file, the key and a did-you-mean. Paths in the file are taken from the
// file's own folder. The config command shows the result. Where the file
// cannot be read (the Windows build has no TOML reader) --config and config
// are refused.
#pragma once

namespace CLI {
class App;
}

namespace xolhost {

struct Options;

// Adds --config FILE to the program's options.
void AddConfigOption(CLI::App& app, Options& options);

// After the command line is parsed: notes which settings it gave, for the
// config command (the file's are noted as they are read).
void NoteCommandLine(const CLI::App& app, Options& options);

} // namespace xolhost
