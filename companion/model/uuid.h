#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace korvel {

// A random (version 4) UUID. Rows get one only to tell list entries apart.
class Uuid {
public:
    Uuid() = default; // the nil UUID
    explicit Uuid(const std::array<uint8_t, 16>& bytes) : bytes_(bytes) {}

    static Uuid random();

    const std::array<uint8_t, 16>& bytes() const { return bytes_; }
    // Upper-case canonical text, 8-4-4-4-12 hex digits.
    std::string toString() const;

    friend bool operator==(const Uuid&, const Uuid&) = default;

private:
    std::array<uint8_t, 16> bytes_{};
};

} // namespace korvel

template <> struct std::hash<korvel::Uuid> {
    size_t operator()(const korvel::Uuid& uuid) const noexcept;
};
