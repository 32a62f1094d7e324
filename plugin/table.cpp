#include "plugin/table.h"

#include "plugin/config.h"
#include "plugin/config_dialog.h"
#include "plugin/output.h"

namespace {

// Shift-JIS (code page 932), as the host shows them.
// "自動２パス MsPEG4 圧縮": automatic two-pass MsPEG4 compression.
constexpr char kDisplayName[] = "\x8e\xa9\x93\xae\x82\x51\x83\x70\x83\x58 MsPEG4 \x88\xb3\x8f\x6b";
// Description and pattern, the list ended by an empty string.
constexpr char kFileFilter[] = "AVI (*.avi)\0*.avi\0";

int output_entry(OutputRequest* request) { return request ? plugin_output(*request) : 0; }

// The information line the host lists the plug-in under is its name.
const OutputPluginTable kTable = {
    0,
    kDisplayName,
    kFileFilter,
    kDisplayName,
    nullptr,  // no start-up entry
    nullptr,  // no shut-down entry
    output_entry,
    plugin_config_dialog,
    plugin_config_get,
    plugin_config_set,
    {},
};

}  // namespace

const OutputPluginTable& plugin_table() { return kTable; }
