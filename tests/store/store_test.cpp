#include "store/store.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <regex>
#include <thread>

#include "common/files.hpp"
#include "store/config_model.hpp"
#include "support/temp_dir.hpp"

namespace td::store {
namespace {

using namespace std::chrono_literals;
using Kind = PairResult::Kind;

struct stat statOf(const std::string& path) {
    struct stat info {};
    ::stat(path.c_str(), &info);
    return info;
}

bool matches(const std::string& text, const char* pattern) {
    return std::regex_match(text, std::regex(pattern));
}

Json jsonIn(const std::string& path) {
    return Json::parse(readWholeFile(path).value_or("null"));
}

class StoreTest : public ::testing::Test {
  protected:
    std::unique_ptr<Store> open() {
        return std::make_unique<Store>(
            Store::Options{support, dir.path() / "resources", [this] { return clock.load(); }});
    }

    test::TempDir dir;
    const std::string support = (dir.path() / "support").string();
    const std::string state = support + "/state.json", config = support + "/config.json";
    std::atomic<std::chrono::system_clock::time_point> clock{std::chrono::system_clock::now()};
};

TEST_F(StoreTest, FirstRunWritesAPrivateStateAndTheShippedConfig) {
    const std::string shipped = R"({"pages":[{"name":"Shipped"}],"extra":1})";
    dir.write("resources/config.json", shipped);
    const auto store = open();
    EXPECT_TRUE(store->isFirstRun);
    EXPECT_TRUE(matches(store->pinValue(), "[0-9]{6}"));
    EXPECT_TRUE(matches(store->relayId(),
                        "[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}"));
    EXPECT_EQ(jsonIn(state), (Json{{"pin", store->pinValue()},
                                   {"tokens", Json::array()},
                                   {"relayId", store->relayId()}}));
    EXPECT_EQ(statOf(state).st_mode & 0777, 0600u);
    EXPECT_EQ(jsonIn(config), sanitize(Json::parse(shipped)));
}

TEST_F(StoreTest, OnlyTheFirstConfigurationGetsThisComputersApps) {
    dir.write("resources/config.json",
              R"({"pages":[{"name":"Controls","tiles":[]},)"
              R"({"name":"Apps","tiles":[{"type":"app","value":"Files","label":"Files"}]}]})");
    int asked = 0;
    const auto openWithApps = [&] {
        Store::Options options{support, dir.path() / "resources"};
        options.firstRunApps = [&] {
            ++asked;
            return std::vector<std::string>{"Firefox", "Files", "Terminal"};
        };
        return std::make_unique<Store>(options);
    };
    auto store = openWithApps();
    const Json apps = store->snapshotConfig()["pages"][1]["tiles"];
    ASSERT_EQ(apps.size(), 3u) << apps;
    EXPECT_EQ(apps[0]["value"], "Files");  // the shipped tile stays first, and only once
    EXPECT_EQ(apps[1], (Json{{"type", "app"}, {"value", "Firefox"}, {"label", "Firefox"}}));
    EXPECT_EQ(apps[2]["value"], "Terminal");
    EXPECT_EQ(store->allowedApps(), (std::set<std::string>{"Files", "Firefox", "Terminal"}));
    EXPECT_EQ(jsonIn(config), store->snapshotConfig());

    // A saved configuration, even an emptied one, is never filled again.
    Json emptied = store->snapshotConfig();
    emptied["pages"][1]["tiles"] = Json::array();
    ASSERT_TRUE(store->saveConfig(emptied));
    store = openWithApps();
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(store->snapshotConfig()["pages"][1]["tiles"], Json::array());
}

TEST_F(StoreTest, DamagedFilesKeepWhatTheyCanAndAreRepaired) {
    const std::string token(48, 'a');
    dir.write("support/state.json", R"({"pin":1234,"tokens":[")" + token + R"("],"relayId":"R"})");
    dir.write("support/config.json", "[1,2,3]");  // and nothing shipped
    auto store = open();
    EXPECT_FALSE(store->isFirstRun);
    EXPECT_TRUE(matches(store->pinValue(), "[0-9]{6}"));
    EXPECT_TRUE(store->tokenValid(token));
    EXPECT_EQ(jsonIn(state),
              (Json{{"pin", store->pinValue()}, {"tokens", {token}}, {"relayId", "R"}}));
    EXPECT_EQ(store->snapshotConfig(), builtInDefaultConfig());
    EXPECT_EQ(jsonIn(config), builtInDefaultConfig());
    EXPECT_NE(readWholeFile(config)->find("\n  "), std::string::npos) << "pretty-printed";
    EXPECT_EQ(readWholeFile(config + ".unreadable"), "[1,2,3]");  // kept for the user to mend

    // All tokens or none; a missing relay identifier is made anew.
    dir.write("support/state.json", R"({"pin":"4321","tokens":[")" + token + R"(",2]})");
    store = open();
    EXPECT_FALSE(store->tokenValid(token));
    EXPECT_EQ(store->relayId().size(), 36u);
    EXPECT_EQ(jsonIn(state),
              (Json{{"pin", "4321"}, {"tokens", Json::array()}, {"relayId", store->relayId()}}));

    dir.write("support/state.json", "not json");
    EXPECT_FALSE(open()->isFirstRun);
}

TEST_F(StoreTest, StateSurvivesARestartUnrewrittenButTheLockOutDoesNot) {
    auto store = open();
    const std::string pin = store->pinValue(), paired = store->pair(pin).token;
    EXPECT_EQ(jsonIn(state)["tokens"], Json::array({paired}));
    for (int i = 0; i < 10; ++i) {  // the right PIN fifth resets the count
        EXPECT_EQ(store->pair(i == 4 ? pin : "x").kind, i == 4 ? Kind::ok : Kind::wrong) << i;
    }
    EXPECT_TRUE(store->isLocked());
    EXPECT_EQ(store->pair(pin).kind, Kind::locked);
    // A code still pairs, and changing the PIN keeps the lock.
    const auto coded = store->consumeCode(store->mintCode());
    ASSERT_EQ(coded.kind, Kind::ok);
    const std::optional<std::string> token = coded.token;
    EXPECT_FALSE(store->setPin("123"));
    EXPECT_EQ(store->pinValue(), pin);
    EXPECT_TRUE(store->setPin("2468"));
    EXPECT_EQ(store->pair("2468").kind, Kind::locked);

    const ino_t stateInode = statOf(state).st_ino, configInode = statOf(config).st_ino;
    store = open();
    EXPECT_TRUE(store->tokenValid(paired) && store->tokenValid(*token));
    EXPECT_EQ(statOf(state).st_ino, stateInode);
    EXPECT_EQ(statOf(config).st_ino, configInode);
    EXPECT_FALSE(store->isLocked());
    const auto result = store->pair("2468");
    EXPECT_EQ(result.kind, Kind::ok);
    EXPECT_TRUE(matches(result.token, "[0-9a-f]{48}"));
}

TEST(PinRule, FourToEightAsciiDigits) {
    for (const char* bad : {"123", "123456789", "12a4", " 1234", ""}) {
        EXPECT_FALSE(isValidPin(bad)) << bad;
    }
    EXPECT_TRUE(isValidPin("0000") && isValidPin("12345678"));
}

// A phone makes a few codes a minute, and the tokens its codes (and theirs) pair stay few, also
// across a restart; unpairing one makes room. This computer's own codes are not counted.
TEST_F(StoreTest, APhoneMintsFewCodesAndItsFamilyOfTokensStaysSmall) {
    auto store = open();
    const std::string phone = store->pair(store->pinValue()).token;
    std::vector<std::string> children;
    for (std::size_t i = 0; i < Store::MAX_CODES_PER_MINUTE; ++i) {
        const auto code = store->mintCodeFor(phone);
        ASSERT_TRUE(code);
        children.push_back(store->consumeCode(*code).token);
    }
    EXPECT_FALSE(store->mintCodeFor(phone));  // a sixth within the minute
    clock = clock.load() + 61s;
    std::size_t minted = 0;  // the family is the phone and 5 children: 4 more, from a child
    while (const auto code = store->mintCodeFor(children[0])) {
        minted += store->consumeCode(*code).kind == Kind::ok;
    }
    EXPECT_EQ(minted, Store::MAX_FAMILY_TOKENS - 1 - children.size());
    clock = clock.load() + 61s;
    store = open();
    EXPECT_FALSE(store->mintCodeFor(phone));
    store->removeToken(children[1]);
    clock = clock.load() + 600s;  // the open codes expired
    EXPECT_TRUE(store->mintCodeFor(phone));
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(store->consumeCode(store->mintCode()).kind, Kind::ok);
    }
}

TEST_F(StoreTest, OneTimeCodesPairOnceBeforeTheyExpireAndTokensCanBeRemoved) {
    const auto store = open();
    const std::string code = store->mintCode();
    EXPECT_TRUE(matches(code, "[0-9a-f]{16}"));
    const auto paired = store->consumeCode(code);
    ASSERT_EQ(paired.kind, Kind::ok);
    const std::optional<std::string> token = paired.token;
    EXPECT_EQ(jsonIn(state)["tokens"], Json::array({*token}));
    EXPECT_EQ(store->consumeCode(code).kind, Kind::wrong);

    const std::string late = store->mintCode();
    store->mintCode();            // never presented
    clock = clock.load() + 600s;  // expiring at this very instant counts as expired
    EXPECT_EQ(store->consumeCode(late).kind, Kind::wrong);
    EXPECT_EQ(store->openCodeCount(), 1u);
    const std::string fresh = store->mintCode();  // purges the expired ones
    EXPECT_EQ(store->openCodeCount(), 1u);
    clock = clock.load() + 599s;
    EXPECT_EQ(store->consumeCode(fresh).kind, Kind::ok);

    const ino_t before = statOf(state).st_ino;
    store->removeToken("never issued");  // still writes the state
    EXPECT_NE(statOf(state).st_ino, before);
    EXPECT_TRUE(store->tokenValid(*token));
    store->removeToken(*token);
    EXPECT_FALSE(store->tokenValid(*token));
    EXPECT_EQ(jsonIn(state)["tokens"].size(), 1u);  // the fresh code's token
}

TEST_F(StoreTest, ConcurrentWritesLeaveWholePrivateFilesThatMatchMemory) {
    const mode_t previousUmask = ::umask(022);
    dir.write("support/config.json", R"({"pages":[]})");  // as an older agent left it: 0644
    const auto store = open();
    EXPECT_EQ(statOf(support).st_mode & 0777, 0700u);
    EXPECT_EQ(statOf(config).st_mode & 0777, 0600u);
    std::atomic<int> torn{0}, exposed{0}, reads{0};
    {
        std::jthread reader([&](std::stop_token stop) {
            while (!stop.stop_requested()) {
                for (const std::string& path : {state, config}) {
                    const auto parsed = parseJson(readWholeFile(path).value_or(""));
                    torn += !parsed || !parsed->is_object();
                    ++reads;
                }
                exposed += ((statOf(state).st_mode | statOf(config).st_mode) & 077) != 0;
            }
        });
        std::vector<std::jthread> writers;  // joined before the reader stops
        for (int t = 0; t < 3; ++t) {
            writers.emplace_back([&, t] {
                for (int i = 0; i < 60; ++i) {
                    store->pair(store->pinValue());
                    store->saveConfig({{"pages", Json::array()}, {"writer", t}, {"round", i}});
                }
            });
        }
    }
    EXPECT_GT(reads, 0);
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(exposed, 0);
    EXPECT_EQ(statOf(config).st_mode & 0777, 0600u);
    ::umask(previousUmask);
    EXPECT_EQ(jsonIn(config), store->snapshotConfig());  // whichever save came last, on both
    EXPECT_EQ(*store->configJson(), dumpCompact(store->snapshotConfig()));
    const auto files = std::filesystem::directory_iterator(support);
    EXPECT_EQ(std::distance(begin(files), end(files)), 2) << "temporary files left behind";
}

TEST_F(StoreTest, SavedConfigIsSanitisedAndFlowChangesReachTheFileAndItsReaders) {
    const auto store = open();
    // What phones are sent is what the file holds, after every kind of change.
    const auto served = [&] { return *parseOrderedJson(*store->configJson()); };
    store->saveConfig({{"pages", {{{"tiles", {{{"type", "app"}, {"value", "Files"}}}}}}}});
    EXPECT_EQ(store->allowedApps(), std::set<std::string>{"Files"});
    EXPECT_FALSE(store->relayEnabled());
    EXPECT_EQ(jsonIn(config)["settings"], defaultSettings());
    EXPECT_EQ(served(), jsonIn(config));
    store->addFlow("Morning", "x", Json::array());
    EXPECT_EQ(jsonIn(config)["pages"][1]["tiles"][0]["label"], "Morning");
    EXPECT_EQ(served(), jsonIn(config));
    store->removeFlow("Morning");
    EXPECT_TRUE(jsonIn(config)["pages"][1]["tiles"].empty());
    EXPECT_EQ(served(), jsonIn(config));

    // What could not be read back at the next start is not kept: 256 members are the most an
    // object may have, and the settings the sanitiser adds would make 257.
    Json wide{{"pages", Json::array()}};
    for (int i = 0; i < 255; ++i) {
        wide["k" + std::to_string(i)] = 0;
    }
    const Json before = store->snapshotConfig();
    EXPECT_FALSE(store->saveConfig(wide));
    EXPECT_FALSE(store->addFlow("Big", "x", Json::array({std::string(MAX_CONFIG_BYTES, 'x')})));
    EXPECT_EQ(store->snapshotConfig(), before);
    EXPECT_EQ(open()->snapshotConfig(), before);  // read back at the next start
}

TEST_F(StoreTest, NothingIsGrantedOrChangedThatCouldNotBeWritten) {
    const auto store = open();
    const std::string pin = store->pinValue(), code = store->mintCode();
    // A folder in the state file's place makes every later write fail, even for root.
    std::filesystem::remove(state);
    std::filesystem::create_directories(state + "/blocked");
    EXPECT_EQ(store->pair(pin).kind, Kind::notSaved);
    EXPECT_EQ(store->consumeCode(code).kind, Kind::notSaved);
    EXPECT_FALSE(store->setPin("4321"));
    EXPECT_EQ(store->pinValue(), pin);
    std::filesystem::remove_all(state);
    const auto later = store->consumeCode(code);  // the code was not spent on a lost token
    ASSERT_EQ(later.kind, Kind::ok);
    EXPECT_EQ(open()->tokenValid(later.token), true);
}

TEST_F(StoreTest, ADeeplyNestedConfigIsNotWrittenManyTimesLargerThanItIs) {
    const auto store = open();
    // 60 levels, with 2,000 empty arrays at the bottom: indented, each would take a line of
    // 120 spaces.
    Json deep = Json::array();
    for (int i = 0; i < 2000; ++i) {
        deep.push_back(Json::array());
    }
    for (int level = 0; level < 58; ++level) {
        deep = Json::array({std::move(deep)});
    }
    const std::string sent = dumpCompact(Json{{"pages", Json::array()}, {"deep", deep}});
    ASSERT_TRUE(store->saveConfig(*parseJson(sent)));
    const auto written = readWholeFile(config).value_or("");
    EXPECT_LT(written.size(), 4 * sent.size() + 64);
    EXPECT_EQ(*parseJson(written), store->snapshotConfig());
}

}  // namespace
}  // namespace td::store
