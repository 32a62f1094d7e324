// vnt.auo loaded into the test process as the editor loads it, with helpers to
// hand its configuration out and in.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "plugin/config.h"
#include "plugin/plugin_abi.h"
#include "tests/support/support.h"

class PluginModule {
public:
    PluginModule() {
        const std::string path = testsupport::build_dir() + "/vnt.auo";
        handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle_) {
            ADD_FAILURE() << "can't load " << path << ": " << dlerror();
            return;
        }
        entry_ = reinterpret_cast<GetOutputPluginTableFunc>(dlsym(handle_, "GetOutputPluginTable"));
        if (entry_) table_ = entry_();
        if (!table_) ADD_FAILURE() << "no GetOutputPluginTable in " << path;
    }
    ~PluginModule() {
        if (handle_) dlclose(handle_);
    }
    PluginModule(const PluginModule&) = delete;
    PluginModule& operator=(const PluginModule&) = delete;

    bool ok() const { return table_ != nullptr; }
    const OutputPluginTable& table() const { return *table_; }
    GetOutputPluginTableFunc entry() const { return entry_; }
    HINSTANCE instance() const { return static_cast<HINSTANCE>(handle_); }

    PluginConfig config() const {
        PluginConfig c{};
        table_->on_config_get(&c, sizeof c);
        return c;
    }
    void set_config(PluginConfig c) const { EXPECT_EQ(table_->on_config_set(&c, sizeof c), kPluginConfigSize); }

private:
    void* handle_ = nullptr;
    GetOutputPluginTableFunc entry_ = nullptr;
    const OutputPluginTable* table_ = nullptr;
};

inline bool operator==(const PluginConfig& a, const PluginConfig& b) {
    return a.codec_index == b.codec_index && a.bit_rate == b.bit_rate && a.key_seconds == b.key_seconds &&
           a.compression_control == b.compression_control && a.diff_threshold == b.diff_threshold &&
           a.pixel_threshold == b.pixel_threshold && a.log_enabled == b.log_enabled &&
           a.analyse_enabled == b.analyse_enabled && a.scene_level == b.scene_level && a.audio == b.audio;
}

inline std::ostream& operator<<(std::ostream& os, const PluginConfig& c) {
    return os << "{codec " << c.codec_index << ", rate " << c.bit_rate << ", key " << c.key_seconds << ", cc "
              << c.compression_control << ", diff " << c.diff_threshold << ", pixel " << c.pixel_threshold
              << ", log " << c.log_enabled << ", analyse " << c.analyse_enabled << ", scene " << c.scene_level
              << ", audio " << c.audio << "}";
}
