#pragma once

// The facade between the light-source HTTP server and one lym::Lumra: serialises every call and turns
// light-source failures into false or empty results with one line on standard error.
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "lightsource/lumra.h"

class LumraControl {
public:
    /// Opens a light source as `open` does; without one the facade answers every operation as not open.
    LumraControl(lym::LumraType type, const std::string& com_port) noexcept;
    /// Switches off and closes the light source.
    ~LumraControl();
    LumraControl(const LumraControl&) = delete;
    LumraControl& operator=(const LumraControl&) = delete;

    /// Opens a new light source of the type at the port and replaces the current one; false on failure.
    bool open(lym::LumraType type, const std::string& com_port) noexcept;
    /// Closes the current light source, then opens the first one of any type that is not in use.
    bool reopen() noexcept;
    /// Closes the current light source.
    void close() noexcept;
    /// True while a light source is open.
    bool isOpen() noexcept;

    /// The operations below forward to lym::Lumra; empty or false when not open or on a light-source
    /// failure. Other exceptions reach the caller, except from the operations declared noexcept.
    std::optional<std::string> getComPort();
    std::optional<lym::LumraType> getType();
    std::optional<lym::LumraDescription> getDescription();
    std::optional<lym::LumraConfiguration> getConfiguration();
    bool setConfiguration(const lym::LumraConfiguration& config) noexcept;
    bool defaultConfiguration() noexcept;
    bool switchOff();
    bool switchOn();
    std::optional<std::string> executeCommand(const std::string& cmd, const std::string& in_val);
    /// The SDK version; needs no open light source.
    std::optional<std::string> getVersions(const std::string& library);

private:
    std::unique_ptr<lym::Lumra> lumra_;
    std::mutex mutex_;
    bool opened = false;
};
