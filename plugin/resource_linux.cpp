// Links "CONFIG_DLG" into this module for the headless dialog manager while the
// module is loaded, as the Windows build carries it as a dialog resource.
#include <array>

#include "platform/dialog/dialog_resource.h"
#include "plugin/config_dialog_template.h"

namespace {

constexpr std::array<DialogItemResource, kConfigDialogItems.size()> kItems = [] {
    std::array<DialogItemResource, kConfigDialogItems.size()> items{};
    for (size_t i = 0; i < items.size(); ++i) {
        const DialogItemSpec& s = kConfigDialogItems[i];
        items[i] = {s.id, s.class_name, s.text, s.style, s.x, s.y, s.cx, s.cy};
    }
    return items;
}();

constexpr DialogResource kResource = {
    kConfigDialog.style,   kConfigDialog.x,         kConfigDialog.y,
    kConfigDialog.cx,      kConfigDialog.cy,        kConfigDialog.caption,
    kConfigDialog.font_name, kConfigDialog.point_size, kItems.data(),
    static_cast<int>(kItems.size()),
};

struct ResourceLink {
    ResourceLink() { dialog_resource_register(&kResource, kConfigDialog.name, &kResource); }
    ~ResourceLink() { dialog_resource_unregister(&kResource, kConfigDialog.name); }
};
const ResourceLink link;

}  // namespace
