#include "plugin2/logger.h"

#include <string>

#include "plugin2/text16.h"

namespace {

Auo2Logger* g_logger = nullptr;

void send(void (*Auo2Logger::*level)(Auo2Logger*, Auo2Text), std::string_view message) {
    if (!g_logger || !(g_logger->*level)) return;
    std::u16string text = text16_from_utf8(message);
    if (text.size() >= static_cast<size_t>(kAuo2LogMostChars)) {
        text.resize(kAuo2LogMostChars - 1);
        if (text.back() >= 0xD800 && text.back() <= 0xDBFF) text.pop_back();  // not half a character
    }
    (g_logger->*level)(g_logger, text.c_str());
}

}  // namespace

void auo2_logger_set(Auo2Logger* logger) { g_logger = logger; }
void auo2_log_error(std::string_view message) { send(&Auo2Logger::error, message); }
void auo2_log_warning(std::string_view message) { send(&Auo2Logger::warn, message); }
