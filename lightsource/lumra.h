#pragma once

// The light-source device class over the light-source SDK, and its value types.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "lightsource/lumra_exception.h"
#include "lightsource/vendor/lym_lumra.h"

namespace lym {

/// Light-source model. Any selects every model when opening and marks an undefined model when reported;
/// other values outside the table can come from a device and are kept as they are.
enum class LumraType : int32_t {
    ModelA = 0,
    ModelB = 1,
    ModelC = 2,
    ModelD = 3,
    ModelE = 4,
    ModelF = 5,
    ModelG = 6,
    ModelH = 7,
    ModelI = 8,
    ModelJ = 9,
    Any = 0xFFFF
};

/// Display name of a model type (at most 39 characters); empty for a value outside the table.
std::string typeName(LumraType type);

/// Identity and per-channel capabilities of an opened light source; the lists have one element per channel.
struct LumraDescription {
    uint32_t serial = 0;
    std::string com_port;
    LumraType type = LumraType::Any;
    std::string name;
    std::vector<uint32_t> wavelengths;
    std::vector<uint32_t> exclusivity;
    std::vector<uint32_t> intensity_max;
    std::vector<uint32_t> intensity_min;
    bool operator==(const LumraDescription&) const = default;
};

/// Per-channel intensities and on-states (0 = off, non-zero = on), one element per channel.
struct LumraConfiguration {
    std::vector<int32_t> intensities;
    std::vector<uint8_t> on_states;
    bool operator==(const LumraConfiguration&) const = default;
};

/// One opened light source. Opening is construction and closing is destruction; no locking inside.
class Lumra {
public:
    /// Opens the first free device of the type (Any = every type) at the port (empty = every port),
    /// switches it off and turns every channel off. Throws LumraException; a device opened before the
    /// failure is closed again.
    Lumra(LumraType type, const std::string& com_port);
    /// Switches the device off and closes it; never throws.
    ~Lumra();
    Lumra(const Lumra&) = delete;
    Lumra& operator=(const Lumra&) = delete;

    /// Serial port name of the device. Throws LumraException.
    std::string getComPort() const;
    /// Model type the device reports. Throws LumraException.
    LumraType getType() const;
    /// Identity and channel capabilities. Throws LumraException.
    LumraDescription getDescription() const;
    /// Current intensities and on-states. Throws LumraException.
    LumraConfiguration getConfiguration() const;
    /// Writes intensities and on-states; throws LumraException on wrong list lengths or two channels of
    /// one exclusivity group switched on (nothing is written then), and on SDK failures.
    void setConfiguration(const LumraConfiguration& config);
    /// Switches the output off and every channel off, keeping the intensities. Throws LumraException.
    void defaultConfiguration();
    /// Switches the output off. Throws LumraException.
    void switchOff();
    /// Switches the output on. Throws LumraException.
    void switchOn();
    /// Sends a raw command with an optional value (empty = none) and returns the device's answer in
    /// `answer`. Throws LumraException.
    void executeCommand(const std::string& cmd, std::string& answer, const std::string& in_val);
    /// SDK version as "a.b.c.d"; needs no opened device, and the library name is not used. Throws
    /// LumraException only when the SDK reports a failure.
    static std::string getVersions(const std::string& library);

    /// Log file of the SDK: $HOME, or the user's home from the password database, plus
    /// "/.qor/qor_logging/lym_lumra.log".
    static std::filesystem::path logFilePath();

private:
    static void setUpLogging();
    void choose(LumraType type, const std::string& com_port);
    LUMRA_LRStruct readRecord() const;
    void release() noexcept;

    LUMRA_HANDLE handle_ = nullptr;
};

}  // namespace lym
