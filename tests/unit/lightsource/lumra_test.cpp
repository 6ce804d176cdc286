#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "lightsource/lumra.h"
#include "lightsource/lumra_control.h"
#include "lightsource/lumra_json.h"
#include "sim/common/errors.h"
#include "sim/control.h"

namespace fs = std::filesystem;
using lym::Lumra;
using lym::LumraConfiguration;
using lym::LumraException;
using lym::LumraType;
using nlohmann::json;
using testing::HasSubstr;
using testing::StartsWith;

namespace {

constexpr int32_t kNoDevice = static_cast<int32_t>(0xA0163013);
constexpr int32_t kBadConfig = static_cast<int32_t>(0xA0570001);

// A private lock directory and home for the whole test process, so nothing outside is touched.
class LumraEnvironment : public testing::Environment {
public:
    void SetUp() override {
        char pattern[] = "/tmp/lumra-test-XXXXXX";
        root_ = mkdtemp(pattern);
        qorsim::setLockDirectory(root_ / "locks");
        fs::create_directories(root_ / "home");
        setenv("HOME", (root_ / "home").c_str(), 1);
    }
    void TearDown() override { fs::remove_all(root_); }
    static fs::path home() { return root_ / "home"; }

private:
    static inline fs::path root_;
};
const auto* const kEnvironment = testing::AddGlobalTestEnvironment(new LumraEnvironment);

json channel(uint32_t wavelength, uint32_t group = 0, int intensity = 10) {
    return {{"wavelength", wavelength}, {"group", group}, {"min", 0}, {"max", 100}, {"intensity", intensity}};
}

json source(int type, const std::string& port, uint32_t serial, json channels = json::array({channel(470)})) {
    return {{"type", type}, {"port", port}, {"serial", serial}, {"channels", std::move(channels)}};
}

void load(const std::vector<json>& sources, json extra = json::object()) {
    extra["light_sources"] = sources;
    qorsim::loadDevices(extra.dump());
}

// Two devices of type 2 at A and B, one of type 5 at C.
void loadThree() {
    load({source(2, "/dev/ttyA", 101), source(2, "/dev/ttyB", 102), source(5, "/dev/ttyC", 103)});
}

LumraException thrown(const std::function<void()>& f) {
    try {
        f();
    } catch (const LumraException& e) {
        return e;
    }
    ADD_FAILURE() << "no LumraException thrown";
    return LumraException();
}

LUMRA_HANDLE scanFirst() {
    std::array<LUMRA_HANDLE, 4> handles{};
    int count = 0;
    EXPECT_EQ(LUMRA_ScanDevices(handles.data(), 4, &count), 0);
    return handles[0];
}

class LumraTest : public testing::Test {
protected:
    void SetUp() override { qorsim::reset(); }
    void TearDown() override { qorsim::reset(); }
};

using LumraOpenTest = LumraTest;
using LumraConfigurationTest = LumraTest;
using LumraSdkTest = LumraTest;
using LumraControlTest = LumraTest;
using LumraLogTest = LumraTest;

TEST_F(LumraOpenTest, AnyTypeAndPortTakesFirstFreeDeviceUntilNoneIsLeft) {
    loadThree();
    Lumra a(LumraType::Any, "");
    Lumra b(LumraType::Any, "");
    Lumra c(LumraType::Any, "");
    EXPECT_EQ(a.getComPort(), "/dev/ttyA");
    EXPECT_EQ(b.getComPort(), "/dev/ttyB");
    EXPECT_EQ(c.getComPort(), "/dev/ttyC");
    const LumraException e = thrown([] { Lumra none(LumraType::Any, ""); });
    EXPECT_EQ(e.code(), kNoDevice);
    EXPECT_THAT(e.what(), StartsWith("lym::LumraException (0xa0163013): "));
}

TEST_F(LumraOpenTest, SelectsByPortByTypeOrBoth) {
    loadThree();
    {
        Lumra by_port(LumraType::Any, "/dev/ttyC");
        EXPECT_EQ(by_port.getType(), LumraType::ModelF);
        EXPECT_EQ(by_port.getDescription().serial, 103u);
    }
    {
        Lumra by_type(LumraType::ModelF, "");
        EXPECT_EQ(by_type.getComPort(), "/dev/ttyC");
    }
    Lumra both(LumraType::ModelF, "/dev/ttyC");
    EXPECT_EQ(both.getComPort(), "/dev/ttyC");
    EXPECT_EQ(thrown([] { Lumra x(LumraType::Any, "/dev/ttyZ"); }).code(), kNoDevice);
    EXPECT_EQ(thrown([] { Lumra x(LumraType::ModelJ, ""); }).code(), kNoDevice);
}

TEST_F(LumraOpenTest, DeviceWhosePortNameDoesNotFitTheBufferIsLeftOut) {
    const std::string long_port = "/dev/" + std::string(1100, 'x');
    load({source(2, long_port, 101), source(2, "/dev/ttyB", 102)});
    Lumra any(LumraType::Any, "");
    EXPECT_EQ(any.getComPort(), "/dev/ttyB");
    EXPECT_EQ(thrown([] { Lumra second(LumraType::ModelC, ""); }).code(), kNoDevice);
    EXPECT_EQ(thrown([&] { Lumra by_name(LumraType::Any, long_port); }).code(), kNoDevice);
}

TEST_F(LumraOpenTest, TypeAtPortIsComparedWithFirstFreeDeviceOfThatType) {
    loadThree();
    const LumraException e = thrown([] { Lumra x(LumraType::ModelC, "/dev/ttyB"); });
    EXPECT_STREQ(e.what(), "lym::LumraException: LumraType does not match connected device at specific COM port");
    EXPECT_EQ(e.code(), kNoDevice);
    // Once the first device of the type is taken, the one at the port is the first free one.
    Lumra a(LumraType::Any, "/dev/ttyA");
    Lumra b(LumraType::ModelC, "/dev/ttyB");
    EXPECT_EQ(b.getComPort(), "/dev/ttyB");
}

TEST_F(LumraOpenTest, OpeningSwitchesOffAndTurnsChannelsOffKeepingIntensities) {
    json on = channel(470, 0, 42);
    on["on"] = true;
    load({source(1, "/dev/ttyA", 1, {on, channel(530, 0, 7)})});
    Lumra lumra(LumraType::Any, "");
    EXPECT_EQ(lumra.getConfiguration(), (LumraConfiguration{{42, 7}, {0, 0}}));
    EXPECT_EQ(qorsim::lastCallArgs("LUMRA_SwitchLumra").back(), 0);
}

TEST_F(LumraOpenTest, DestroyedLumraSwitchesOffAndFreesDevice) {
    {
        Lumra lumra(LumraType::Any, "");
        lumra.switchOn();
        qorsim::clearCalls();
    }
    EXPECT_EQ(qorsim::lastCallArgs("LUMRA_SwitchLumra").back(), 0);
    EXPECT_EQ(qorsim::callCount("LUMRA_CloseDevice"), 1);
    Lumra again(LumraType::Any, "");
}

class LumraFailAfterOpenTest : public LumraTest, public testing::WithParamInterface<const char*> {};

TEST_P(LumraFailAfterOpenTest, FailedConstructionClosesDeviceAgain) {
    qorsim::failNext(GetParam(), qorsim::err::kLumraInvalidValue);
    EXPECT_EQ(thrown([] { Lumra x(LumraType::Any, ""); }).code(), qorsim::err::kLumraInvalidValue);
    EXPECT_EQ(qorsim::callCount("LUMRA_CloseDevice"), 1);
    Lumra second(LumraType::Any, "");
    EXPECT_EQ(second.getComPort(), "/dev/ttySIM0");
}

INSTANTIATE_TEST_SUITE_P(CallsAfterOpen, LumraFailAfterOpenTest,
                         testing::Values("LUMRA_SwitchLumra", "LUMRA_GetLRStruct", "LUMRA_SetLRStruct"));

// A child process that opens the first free light source and holds it until this object goes away.
// The child also ends when this process dies, since it then reads the end of the pipe.
class HoldingProcess {
public:
    HoldingProcess() {
        int ready[2], release[2];
        if (pipe(ready) != 0 || pipe(release) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            close(release[1]);
            std::string port;
            try {
                Lumra held(LumraType::Any, "");
                port = held.getComPort();
                (void)!write(ready[1], port.data(), port.size());
                close(ready[1]);
                char byte;
                (void)!read(release[0], &byte, 1);
            } catch (...) {
            }
            _exit(0);
        }
        close(ready[1]);
        close(release[0]);
        release_ = release[1];
        char text[64];
        const ssize_t n = pid_ > 0 ? read(ready[0], text, sizeof text) : 0;
        port_.assign(text, n > 0 ? static_cast<size_t>(n) : 0);
        close(ready[0]);
    }
    ~HoldingProcess() {
        if (release_ >= 0) close(release_);
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
    }
    const std::string& port() const { return port_; }

private:
    pid_t pid_ = -1;
    int release_ = -1;
    std::string port_;
};

TEST_F(LumraOpenTest, DeviceHeldByAnotherProcessIsInUseAndSkipped) {
    load({source(1, "/dev/ttyA", 1), source(1, "/dev/ttyB", 2)});
    {
        HoldingProcess other;
        ASSERT_EQ(other.port(), "/dev/ttyA");
        int status = -1;
        EXPECT_EQ(LUMRA_GetDeviceInfo(scanFirst(), nullptr, nullptr, 0, &status), 0);
        EXPECT_EQ(status, LUMRA_STATUS_IN_USE);
        Lumra mine(LumraType::Any, "");
        EXPECT_EQ(mine.getComPort(), "/dev/ttyB");
    }
    Lumra after(LumraType::Any, "");
    EXPECT_EQ(after.getComPort(), "/dev/ttyA");
}

// Channels 0 and 2 in exclusivity group 3, or channel 2 without a group.
void loadGroups(uint32_t group_of_channel_2) {
    load({source(1, "/dev/ttyA", 1, {channel(405, 3), channel(470), channel(530, group_of_channel_2)})});
}

TEST_F(LumraConfigurationTest, TwoChannelsOfOneGroupOnAreRejectedBeforeWriting) {
    loadGroups(3);
    Lumra lumra(LumraType::Any, "");
    const int writes = qorsim::callCount("LUMRA_SetLRStruct");
    const LumraException e = thrown([&] { lumra.setConfiguration({{50, 50, 50}, {1, 1, 1}}); });
    EXPECT_STREQ(e.what(), "lym::LumraException: Just single wavelength from exclusive list can be set.");
    EXPECT_EQ(e.code(), kBadConfig);
    EXPECT_EQ(qorsim::callCount("LUMRA_SetLRStruct"), writes);
    lumra.setConfiguration({{50, 50, 50}, {1, 1, 0}});
    EXPECT_EQ(lumra.getConfiguration(), (LumraConfiguration{{50, 50, 50}, {1, 1, 0}}));
}

TEST_F(LumraConfigurationTest, ChannelWithoutGroupIsNeverInConflict) {
    loadGroups(0);
    Lumra lumra(LumraType::Any, "");
    lumra.setConfiguration({{1, 2, 3}, {1, 1, 1}});
    EXPECT_EQ(lumra.getConfiguration(), (LumraConfiguration{{1, 2, 3}, {1, 1, 1}}));
}

TEST_F(LumraConfigurationTest, ListOneShortFailsBeforeTheRecordIsReadForWriting) {
    Lumra lumra(LumraType::Any, "");  // four channels
    const std::array<std::pair<LumraConfiguration, std::string>, 2> cases{{
        {{{1, 2, 3}, {0, 0, 0, 0}}, "Wrong size of intensities vector. Must match number of channels."},
        {{{1, 2, 3, 4}, {0, 0, 0}}, "Wrong size of on_states vector. Must match number of channels."},
    }};
    for (const auto& [config, message] : cases) {
        qorsim::clearCalls();
        const LumraException e = thrown([&] { lumra.setConfiguration(config); });
        EXPECT_EQ(e.what(), "lym::LumraException: " + message);
        EXPECT_EQ(e.code(), kBadConfig);
        EXPECT_EQ(qorsim::callCount("LUMRA_GetLRStruct"), 1);  // the description only
        EXPECT_EQ(qorsim::callCount("LUMRA_SetLRStruct"), 0);
    }
}

TEST_F(LumraConfigurationTest, IntensityOutsideTheChannelRangeIsRefusedByTheDevice) {
    Lumra lumra(LumraType::Any, "");
    const LumraConfiguration before = lumra.getConfiguration();
    EXPECT_EQ(thrown([&] { lumra.setConfiguration({{100, 200, 300, 801}, {0, 0, 0, 0}}); }).code(),
              qorsim::err::kLumraInvalidValue);
    EXPECT_EQ(lumra.getConfiguration(), before);
}

TEST_F(LumraConfigurationTest, ChannelsBeyondSixteenAreListedAsZero) {
    json channels = json::array();
    for (uint32_t i = 0; i < 18; ++i) channels.push_back(channel(400 + i, 0, static_cast<int>(i)));
    load({source(1, "/dev/ttyA", 1, channels)});
    Lumra lumra(LumraType::Any, "");
    const lym::LumraDescription d = lumra.getDescription();
    ASSERT_EQ(d.wavelengths.size(), 18u);
    EXPECT_EQ(d.wavelengths[15], 415u);
    EXPECT_EQ(d.wavelengths[16], 0u);
    EXPECT_EQ(d.intensity_max[17], 0u);
    LumraConfiguration config = lumra.getConfiguration();
    ASSERT_EQ(config.intensities.size(), 18u);
    EXPECT_EQ(config.intensities[15], 15);
    EXPECT_EQ(config.intensities[17], 0);
    config.intensities.assign(18, 60);
    config.on_states.assign(18, 1);
    lumra.setConfiguration(config);
    std::string answer;
    lumra.executeCommand("GET_INTENSITY", answer, "17");
    EXPECT_EQ(answer, "17");  // out of the record's reach
    EXPECT_EQ(lumra.getConfiguration().intensities[15], 60);
}

TEST_F(LumraConfigurationTest, DescriptionAndDefaultConfiguration) {
    Lumra lumra(LumraType::Any, "");
    const lym::LumraDescription d = lumra.getDescription();
    EXPECT_EQ(d, (lym::LumraDescription{7001, "/dev/ttySIM0", LumraType::ModelB, "Light source model B",
                                        {385, 470, 555, 630}, {0, 1, 1, 0}, {1000, 1000, 1000, 800},
                                        {0, 0, 0, 10}}));
    lumra.setConfiguration({{5, 6, 7, 80}, {1, 1, 0, 1}});
    lumra.switchOn();
    lumra.defaultConfiguration();
    EXPECT_EQ(lumra.getConfiguration(), (LumraConfiguration{{5, 6, 7, 80}, {0, 0, 0, 0}}));
    std::string answer;
    lumra.executeCommand("GET_OUTPUT", answer, "");
    EXPECT_EQ(answer, "OFF");
}

TEST_F(LumraConfigurationTest, CommandsReachTheDevice) {
    Lumra lumra(LumraType::Any, "");
    std::string answer;
    lumra.executeCommand("PING", answer, "");
    EXPECT_EQ(answer, "PONG");
    lumra.executeCommand("SET_INTENSITY", answer, "1,250");
    EXPECT_EQ(lumra.getConfiguration().intensities[1], 250);
    EXPECT_EQ(thrown([&] { lumra.executeCommand("SET_INTENSITY", answer, "3,900"); }).code(),
              qorsim::err::kLumraInvalidValue);
    EXPECT_EQ(thrown([&] { lumra.executeCommand("GET_INTENSITY", answer, ""); }).code(),
              qorsim::err::kLumraInvalidValue);
    EXPECT_EQ(thrown([&] { lumra.executeCommand("FLY", answer, ""); }).code(), qorsim::err::kLumraUnknownCommand);
}

TEST_F(LumraConfigurationTest, VersionsAreTheFourSdkNumbersWhateverTheLibrary) {
    load({source(1, "/dev/ttyA", 1)}, {{"lumra_sdk_version", {2, 0, 1, 7}}});
    Lumra lumra(LumraType::Any, "");
    EXPECT_EQ(lumra.getVersions(""), "2.0.1.7");
    EXPECT_EQ(lumra.getVersions("lym_lumra"), "2.0.1.7");
    load({source(1, "/dev/ttyA", 1)}, {{"lumra_sdk_version", {-1, 10, 0, 300}}});
    EXPECT_EQ(lumra.getVersions(""), "-1.10.0.300");
}

TEST(LumraExceptionTest, WhatTextsOfTheThreeConstructions) {
    const LumraException plain;
    EXPECT_STREQ(plain.what(), "lym::LumraException has been thrown without err_code.");
    EXPECT_EQ(plain.code(), 0x00160000);
    const LumraException message("abc", 5);
    EXPECT_STREQ(message.what(), "lym::LumraException: abc");
    EXPECT_EQ(message.sdkErrorText(), "");
    const LumraException status(qorsim::err::kLumraNotOpened);
    EXPECT_EQ(status.what(), "lym::LumraException (0x80180002): " + status.sdkErrorText());
    EXPECT_EQ(status.code(), qorsim::err::kLumraNotOpened);
}

TEST_F(LumraSdkTest, UnknownAndStaleHandlesFailWithoutTouchingMemory) {
    LUMRA_HANDLE stale = scanFirst();
    qorsim::reset();
    LUMRA_LRStruct record{};
    record.wSize = LUMRA_LR_RECORD_SIZE;
    char text[16];
    int value = 0;
    for (LUMRA_HANDLE h : {stale, static_cast<LUMRA_HANDLE>(nullptr), reinterpret_cast<LUMRA_HANDLE>(&value)}) {
        EXPECT_EQ(LUMRA_GetDeviceInfo(h, &value, text, 16, &value), qorsim::err::kLumraInvalidHandle);
        EXPECT_EQ(LUMRA_OpenDeviceEx(h), qorsim::err::kLumraInvalidHandle);
        EXPECT_EQ(LUMRA_CloseDevice(h), qorsim::err::kLumraInvalidHandle);
        EXPECT_EQ(LUMRA_SwitchLumra(h, 1, 1), qorsim::err::kLumraInvalidHandle);
        EXPECT_EQ(LUMRA_GetLRStruct(h, &record), qorsim::err::kLumraInvalidHandle);
        EXPECT_EQ(LUMRA_SetLRStruct(h, &record), qorsim::err::kLumraInvalidHandle);
        EXPECT_EQ(LUMRA_ExecuteCommandWithValue(h, "PING", text, 16, nullptr), qorsim::err::kLumraInvalidHandle);
    }
}

TEST_F(LumraSdkTest, NullPointersShortBuffersAndClosedDevices) {
    LUMRA_HANDLE h = scanFirst();
    int count = 0;
    EXPECT_EQ(LUMRA_ScanDevices(nullptr, 4, &count), qorsim::err::kLumraNullPointer);
    EXPECT_EQ(LUMRA_ScanDevices(nullptr, 0, &count), qorsim::err::kLumraBufferTooSmall);
    EXPECT_EQ(LUMRA_GetDeviceInfo(h, nullptr, nullptr, 0, nullptr), 0);
    EXPECT_EQ(LUMRA_GetVersion(&count, &count, nullptr, &count), qorsim::err::kLumraNullPointer);

    std::array<char, 8> text;
    text.fill('#');
    EXPECT_EQ(LUMRA_GetDeviceInfo(h, nullptr, text.data(), 4, nullptr), qorsim::err::kLumraBufferTooSmall);
    EXPECT_STREQ(text.data(), "/de");
    EXPECT_EQ(text[4], '#');

    LUMRA_LRStruct record{};
    record.wSize = LUMRA_LR_RECORD_SIZE;
    EXPECT_EQ(LUMRA_GetLRStruct(h, &record), qorsim::err::kLumraNotOpened);
    EXPECT_EQ(LUMRA_SwitchLumra(h, 1, 0), qorsim::err::kLumraNotOpened);
    EXPECT_EQ(LUMRA_ExecuteCommandWithValue(h, "PING", text.data(), 8, nullptr), qorsim::err::kLumraNotOpened);
    EXPECT_EQ(LUMRA_CloseDevice(h), qorsim::err::kLumraNotOpened);

    ASSERT_EQ(LUMRA_OpenDeviceEx(h), 0);
    EXPECT_EQ(LUMRA_OpenDeviceEx(h), qorsim::err::kLumraInUse);
    EXPECT_EQ(LUMRA_GetLRStruct(h, nullptr), qorsim::err::kLumraNullPointer);
    record.wSize = 2000;
    EXPECT_EQ(LUMRA_GetLRStruct(h, &record), qorsim::err::kLumraWrongRecordSize);
    EXPECT_EQ(LUMRA_SwitchLumra(h, 2, 1), qorsim::err::kLumraInvalidValue);
    text.fill('#');
    EXPECT_EQ(LUMRA_ExecuteCommandWithValue(h, "PING", text.data(), 3, nullptr), qorsim::err::kLumraBufferTooSmall);
    EXPECT_STREQ(text.data(), "PO");
    EXPECT_EQ(LUMRA_ExecuteCommandWithValue(h, "PING", text.data(), 0, nullptr), qorsim::err::kLumraBufferTooSmall);
    EXPECT_EQ(LUMRA_ExecuteCommandWithValue(h, nullptr, text.data(), 8, nullptr), qorsim::err::kLumraNullPointer);
    EXPECT_EQ(LUMRA_CloseDevice(h), 0);
}

TEST(LumraJsonTest, TypeTableWithFallbackToModelA) {
    const std::array<std::pair<LumraType, const char*>, 11> table{{
        {LumraType::ModelA, "LR_Model_A"}, {LumraType::ModelB, "LR_Model_B"}, {LumraType::ModelC, "LR_Model_C"},
        {LumraType::ModelD, "LR_Model_D"}, {LumraType::ModelE, "LR_Model_E"}, {LumraType::ModelF, "LR_Model_F"},
        {LumraType::ModelG, "LR_Model_G"}, {LumraType::ModelH, "LR_Model_H"}, {LumraType::ModelI, "LR_Model_I"},
        {LumraType::ModelJ, "LR_Model_J"}, {LumraType::Any, "Any"},
    }};
    for (const auto& [type, name] : table) {
        EXPECT_EQ(json(type), name);
        EXPECT_EQ(json(name).get<LumraType>(), type);
        EXPECT_FALSE(lym::typeName(type).empty());
        EXPECT_LE(lym::typeName(type).size(), 39u);
    }
    EXPECT_EQ(json(static_cast<LumraType>(42)), "LR_Model_A");
    EXPECT_EQ(json("LR_Model_Z").get<LumraType>(), LumraType::ModelA);
    EXPECT_EQ(lym::typeName(LumraType::Any), "<Undefined Type>");
    EXPECT_EQ(lym::typeName(static_cast<LumraType>(42)), "");
}

TEST(LumraJsonTest, DescriptionAndConfigurationShapes) {
    const json d = lym::LumraDescription{9, "/dev/x", LumraType::ModelB, "n", {470}, {1}, {100}, {0}};
    EXPECT_EQ(d, json::parse(R"({"serial":9,"com_port":"/dev/x","type":"LR_Model_B","name":"n",
        "wavelenghts_vec":[470],"exclusivity_vec":[1],"intensity_max_vec":[100],"intensity_min_vec":[0]})"));
    const json c = LumraConfiguration{{-1, 7}, {5, 0}};
    EXPECT_EQ(c.dump(), R"({"intensities":[4294967295,7],"on_states":[1,0]})");
}

TEST(LumraJsonTest, ConfigurationFromJsonTakesNumbersAndBooleans) {
    EXPECT_EQ(json::parse(R"({"intensities":[1,true,2.7],"on_states":[true,false,1]})").get<LumraConfiguration>(),
              (LumraConfiguration{{1, 1, 2}, {1, 0, 1}}));
    const std::array<std::pair<const char*, const char*>, 4> bad{{
        {R"({"intensities":5,"on_states":[]})", "type must be array, but is number"},
        {R"({"intensities":[],"on_states":"x"})", "type must be array, but is string"},
        {R"({"intensities":["1"],"on_states":[]})", "type must be number, but is string"},
        {R"({"intensities":[]})", "key 'on_states' not found"},
    }};
    for (const auto& [text, message] : bad) {
        try {
            json::parse(text).get<LumraConfiguration>();
            ADD_FAILURE() << text;
        } catch (const json::exception& e) {
            EXPECT_THAT(e.what(), HasSubstr(message)) << text;
        }
    }
}

TEST_F(LumraControlTest, WithoutLightSourceEveryOperationAnswersNotOpen) {
    load({});
    testing::internal::CaptureStderr();
    LumraControl control(LumraType::Any, "");
    EXPECT_THAT(testing::internal::GetCapturedStderr(), StartsWith("open() failed:lym::LumraException (0xa0163013): "));
    qorsim::clearCalls();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(control.getComPort());
    EXPECT_FALSE(control.getType());
    EXPECT_FALSE(control.getDescription());
    EXPECT_FALSE(control.getConfiguration());
    EXPECT_FALSE(control.setConfiguration({}));
    EXPECT_FALSE(control.defaultConfiguration());
    EXPECT_FALSE(control.switchOff());
    EXPECT_FALSE(control.switchOn());
    EXPECT_FALSE(control.executeCommand("PING", ""));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(qorsim::calls().empty());
    // The SDK's version belongs to no device.
    EXPECT_EQ(control.getVersions(""), lym::Lumra::getVersions(""));
    EXPECT_TRUE(control.getVersions(""));
}

TEST_F(LumraControlTest, FailureWritesOneLineToStandardError) {
    LumraControl control(LumraType::Any, "");
    qorsim::failNext("LUMRA_SwitchLumra", qorsim::err::kLumraNotOpened);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(control.switchOn());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "lumra_->switchOn()failed:" + std::string(LumraException(qorsim::err::kLumraNotOpened).what()));
    testing::internal::CaptureStderr();
    EXPECT_FALSE(control.executeCommand("FLY", ""));
    EXPECT_THAT(testing::internal::GetCapturedStderr(),
                StartsWith("lumra_->executeCommand(cmd, answer, in_val) failed:lym::LumraException (0x80180005)"));
    EXPECT_EQ(control.executeCommand("PING", ""), "PONG");
}

TEST_F(LumraControlTest, OpenReplacesReopenTakesFirstFreeCloseReleases) {
    loadThree();
    LumraControl control(LumraType::Any, "");
    EXPECT_TRUE(control.open(LumraType::Any, ""));  // A is still held while the new one opens
    EXPECT_EQ(control.getComPort(), "/dev/ttyB");
    { Lumra a(LumraType::Any, "/dev/ttyA"); }  // and released afterwards
    testing::internal::CaptureStderr();
    EXPECT_FALSE(control.open(LumraType::Any, "/dev/ttyZ"));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(control.getComPort(), "/dev/ttyB");
    ASSERT_TRUE(control.open(LumraType::Any, "/dev/ttyA"));
    EXPECT_TRUE(control.reopen());  // releases A first, so A is the first free one
    EXPECT_EQ(control.getComPort(), "/dev/ttyA");
    control.close();
    EXPECT_FALSE(control.getComPort());
    Lumra a(LumraType::Any, "/dev/ttyA");
}

TEST_F(LumraLogTest, BannerGoesToTheLogUnderHome) {
    const fs::path dir = LumraEnvironment::home() / ".qor" / "qor_logging";
    fs::create_directories(dir);
    { Lumra lumra(LumraType::Any, ""); }
    std::ifstream in(dir / "lym_lumra.log");
    std::string first;
    std::getline(in, first);
    const std::string rest{std::istreambuf_iterator<char>(in), {}};
    fs::remove_all(LumraEnvironment::home() / ".qor");
    EXPECT_EQ(first, "==================== qor.lumra logging started from high-level SDK qor.cpp ===============");
    EXPECT_THAT(rest, HasSubstr("LUMRA_OpenDeviceEx -> 0x00000000"));
}

TEST_F(LumraLogTest, MissingDirectoryOrUnwritableFileIsSilent) {
    testing::internal::CaptureStderr();
    { Lumra lumra(LumraType::Any, ""); }
    const fs::path log = LumraEnvironment::home() / ".qor" / "qor_logging" / "lym_lumra.log";
    EXPECT_FALSE(fs::exists(LumraEnvironment::home() / ".qor"));
    fs::create_directories(log);  // a directory where the file should be
    { Lumra lumra(LumraType::Any, ""); }
    fs::remove_all(LumraEnvironment::home() / ".qor");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(LumraLogTest, PathFollowsHomeAndFallsBackToPasswordDatabase) {
    const std::string home = LumraEnvironment::home().string();
    EXPECT_EQ(Lumra::logFilePath(), home + "/.qor/qor_logging/lym_lumra.log");
    unsetenv("HOME");
    const fs::path fallback = Lumra::logFilePath();
    setenv("HOME", home.c_str(), 1);
    EXPECT_EQ(fallback, fs::path(getpwuid(getuid())->pw_dir) / ".qor/qor_logging/lym_lumra.log");
}

}  // namespace
