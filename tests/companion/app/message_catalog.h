#pragma once

#include "companion/app/localization.h"
#include "platform/desktop/text_domain.h"
#include "tests/support/temp_dir.h"

#include <glib.h>

#include <clocale>
#include <cstdint>
#include <fstream>
#include <map>
#include <string>

namespace korvel::testing {

// A gettext catalogue for the companion's domain in a made-up language,
// active while the object lives.
class ScopedTranslations {
public:
    explicit ScopedTranslations(std::map<std::string, std::string> translations) {
        translations.emplace("", "Content-Type: text/plain; charset=UTF-8\n");
        writeCatalogue(dir_.path() / "xx/LC_MESSAGES" / (std::string(kTextDomain) + ".mo"),
                       translations);
        // LANGUAGE is ignored in the plain C locale.
        previousLocale_ = std::setlocale(LC_MESSAGES, nullptr);
        std::setlocale(LC_MESSAGES, "C.UTF-8");
        g_setenv("LANGUAGE", "xx", TRUE);
        // Binding again makes gettext forget what it looked up before.
        platform::desktop::bindTextDomain(kTextDomain, dir_.str());
    }
    ~ScopedTranslations() {
        g_unsetenv("LANGUAGE");
        std::setlocale(LC_MESSAGES, previousLocale_.c_str());
        platform::desktop::bindTextDomain(kTextDomain, (dir_.path() / "none").string());
    }

private:
    static void put32(std::string& out, uint32_t value) {
        for (int i = 0; i < 4; ++i) {
            out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
        }
    }

    // The .mo layout: header, two tables of (length, offset), then the strings.
    static void writeCatalogue(const std::filesystem::path& file,
                               const std::map<std::string, std::string>& entries) {
        const auto count = static_cast<uint32_t>(entries.size());
        const uint32_t originals = 28;
        const uint32_t translations = originals + 8 * count;
        uint32_t offset = translations + 8 * count;
        std::string header, tableO, tableT, strings;
        for (const auto& [key, value] : entries) {
            put32(tableO, static_cast<uint32_t>(key.size()));
            put32(tableO, offset + static_cast<uint32_t>(strings.size()));
            strings += key + '\0';
        }
        for (const auto& [key, value] : entries) {
            put32(tableT, static_cast<uint32_t>(value.size()));
            put32(tableT, offset + static_cast<uint32_t>(strings.size()));
            strings += value + '\0';
        }
        for (uint32_t v : {0x950412deu, 0u, count, originals, translations, 0u, offset}) {
            put32(header, v);
        }
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << header << tableO << tableT << strings;
    }

    TempDir dir_;
    std::string previousLocale_;
};

} // namespace korvel::testing
