#include "lightsource/lumra_control.h"

#include <iostream>

namespace {

void reportFailure(const char* text, const lym::LumraException& e) { std::cerr << text << e.what() << std::flush; }

// Runs `op` on an open light source; a light-source failure becomes `failed` plus one line on standard
// error. Other exceptions leave through the caller, after its lock is released.
template <typename Result, typename Op>
Result forward(bool opened, const char* text, Result failed, Op op) {
    if (!opened) return failed;
    try {
        return op();
    } catch (const lym::LumraException& e) {
        reportFailure(text, e);
        return failed;
    }
}

}  // namespace

LumraControl::LumraControl(lym::LumraType type, const std::string& com_port) noexcept { open(type, com_port); }

LumraControl::~LumraControl() { close(); }

bool LumraControl::open(lym::LumraType type, const std::string& com_port) noexcept {
    std::lock_guard lock(mutex_);
    try {
        auto lumra = std::make_unique<lym::Lumra>(type, com_port);
        // The old light source is destroyed after the new one is in place.
        lumra_.swap(lumra);
        opened = true;
        return true;
    } catch (const lym::LumraException& e) {
        std::cerr << "open() failed:" << e.what() << "\n" << std::flush;
        return false;
    }
}

bool LumraControl::reopen() noexcept {
    close();
    return open(lym::LumraType::Any, "");
}

void LumraControl::close() noexcept {
    std::lock_guard lock(mutex_);
    lumra_.reset();
    opened = false;
}

bool LumraControl::isOpen() noexcept {
    std::lock_guard lock(mutex_);
    return opened;
}

std::optional<std::string> LumraControl::getComPort() {
    std::lock_guard lock(mutex_);
    return forward<std::optional<std::string>>(opened, "lumra_->getComPort()failed:", std::nullopt,
                                               [&] { return lumra_->getComPort(); });
}

std::optional<lym::LumraType> LumraControl::getType() {
    std::lock_guard lock(mutex_);
    return forward<std::optional<lym::LumraType>>(opened, "lumra_->getType()failed:", std::nullopt,
                                                  [&] { return lumra_->getType(); });
}

std::optional<lym::LumraDescription> LumraControl::getDescription() {
    std::lock_guard lock(mutex_);
    return forward<std::optional<lym::LumraDescription>>(opened, "lumra_->getDescription()failed:", std::nullopt,
                                                         [&] { return lumra_->getDescription(); });
}

std::optional<lym::LumraConfiguration> LumraControl::getConfiguration() {
    std::lock_guard lock(mutex_);
    return forward<std::optional<lym::LumraConfiguration>>(opened, "lumra_->getConfiguration()failed:",
                                                           std::nullopt, [&] { return lumra_->getConfiguration(); });
}

bool LumraControl::setConfiguration(const lym::LumraConfiguration& config) noexcept {
    std::lock_guard lock(mutex_);
    return forward(opened, "lumra_->setConfiguration(config)failed:", false, [&] {
        lumra_->setConfiguration(config);
        return true;
    });
}

bool LumraControl::defaultConfiguration() noexcept {
    std::lock_guard lock(mutex_);
    return forward(opened, "lumra_->defaultConfiguration()failed:", false, [&] {
        lumra_->defaultConfiguration();
        return true;
    });
}

bool LumraControl::switchOff() {
    std::lock_guard lock(mutex_);
    return forward(opened, "lumra_->switchOff()failed:", false, [&] {
        lumra_->switchOff();
        return true;
    });
}

bool LumraControl::switchOn() {
    std::lock_guard lock(mutex_);
    return forward(opened, "lumra_->switchOn()failed:", false, [&] {
        lumra_->switchOn();
        return true;
    });
}

std::optional<std::string> LumraControl::executeCommand(const std::string& cmd, const std::string& in_val) {
    std::lock_guard lock(mutex_);
    return forward<std::optional<std::string>>(opened, "lumra_->executeCommand(cmd, answer, in_val) failed:",
                                               std::nullopt, [&] {
                                                   std::string answer;
                                                   lumra_->executeCommand(cmd, answer, in_val);
                                                   return answer;
                                               });
}

std::optional<std::string> LumraControl::getVersions(const std::string& library) {
    std::lock_guard lock(mutex_);
    // The version is the library's, not a device's: it is answered with no light source open too.
    return forward<std::optional<std::string>>(true, "lumra_->getVersions(library)failed:", std::nullopt,
                                               [&] { return lym::Lumra::getVersions(library); });
}
