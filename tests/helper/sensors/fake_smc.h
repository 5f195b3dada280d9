#pragma once

#include "platform/smc/smc_driver.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace korvel::testing {

struct FakeSMCKey {
    std::string name;
    uint32_t type = platform::smc::kSMCTypeFloat;
    uint32_t size = 4;
    std::vector<uint8_t> bytes;
    bool readFails = false;
};

inline FakeSMCKey floatKey(const std::string& name, float celsius) {
    FakeSMCKey key;
    key.name = name;
    key.bytes.resize(4);
    std::memcpy(key.bytes.data(), &celsius, 4);
    return key;
}

// A sensor controller holding a table of keys the test can change at any time.
// "#KEY" answers the table's size unless keyCountBytes is set.
class FakeSMC : public platform::smc::SMCDriver {
public:
    std::vector<FakeSMCKey> keys;
    bool available = true;
    std::optional<std::vector<uint8_t>> keyCountBytes;
    int opens = 0;
    int calls = 0;
    std::vector<std::string> readsSent;

    std::unique_ptr<platform::smc::SMCConnection> openKeysEndpoint() override {
        ++opens;
        return available ? std::make_unique<Connection>(*this) : nullptr;
    }

private:
    class Connection : public platform::smc::SMCConnection {
    public:
        explicit Connection(FakeSMC& smc) : smc_(smc) {}

        bool callStructMethod(uint32_t selector, const platform::smc::SMCCallBlock& input,
                              platform::smc::SMCCallBlock& output) override {
            using namespace platform::smc;
            ++smc_.calls;
            if (selector != kSMCCallSelector) {
                return false;
            }
            const std::string name = smcKeyName(input.key);
            const FakeSMCKey* key = find(name);
            output.result = kSMCResultSuccess;
            switch (input.command) {
            case kSMCCommandKeyAtIndex:
                if (input.index >= smc_.keys.size()) {
                    output.result = kSMCResultKeyNotFound;
                } else {
                    // Names shorter than four are packed with trailing NULs.
                    uint32_t code = 0;
                    for (size_t i = 0; i < 4; ++i) {
                        const auto& keyName = smc_.keys[input.index].name;
                        code = (code << 8) | (i < keyName.size() ? uint8_t(keyName[i]) : 0);
                    }
                    output.key = code;
                }
                break;
            case kSMCCommandKeyInfo:
                if (key == nullptr) {
                    output.result = kSMCResultKeyNotFound;
                } else {
                    output.dataSize = key->size;
                    output.dataType = key->type;
                }
                break;
            case kSMCCommandReadKey:
                smc_.readsSent.push_back(name);
                if (key == nullptr || key->readFails || input.dataSize != key->size) {
                    output.result = kSMCResultReadFailed;
                } else {
                    std::memcpy(output.bytes, key->bytes.data(),
                                std::min<size_t>(key->bytes.size(), sizeof output.bytes));
                }
                break;
            default:
                output.result = kSMCResultBadCommand;
            }
            return true;
        }

    private:
        const FakeSMCKey* find(const std::string& name) {
            if (name == "#KEY") {
                count_.name = name;
                count_.type = platform::smc::kSMCTypeUInt32;
                const auto n = static_cast<uint32_t>(smc_.keys.size());
                count_.bytes = smc_.keyCountBytes.value_or(std::vector<uint8_t>{
                    uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
                count_.size = static_cast<uint32_t>(count_.bytes.size());
                return &count_;
            }
            for (const FakeSMCKey& key : smc_.keys) {
                if (key.name == name) {
                    return &key;
                }
            }
            return nullptr;
        }

        FakeSMC& smc_;
        FakeSMCKey count_;
    };
};

} // namespace korvel::testing
