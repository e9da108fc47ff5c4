#include "store/store.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <regex>
#include <thread>

#include "store/config_model.hpp"
#include "store/files.hpp"
#include "support/temp_dir.hpp"

namespace td::store {
namespace {

using namespace std::chrono_literals;

class StoreTest : public ::testing::Test {
  protected:
    std::unique_ptr<Store> open() {
        Store::Options options{support(), dir.path() / "resources",
                               [this] { return clock.load(); }};
        return std::make_unique<Store>(options);
    }
    std::string support() const { return (dir.path() / "support").string(); }
    std::string state() const { return support() + "/state.json"; }
    std::string configFile() const { return support() + "/config.json"; }
    Json stateJson() const { return Json::parse(readWholeFile(state()).value_or("null")); }
    static mode_t modeOf(const std::string& path) {
        struct stat info {};
        ::stat(path.c_str(), &info);
        return info.st_mode & 0777;
    }
    static ino_t inodeOf(const std::string& path) {
        struct stat info {};
        ::stat(path.c_str(), &info);
        return info.st_ino;
    }
    void writeState(const std::string& text) const { dir.write("support/state.json", text); }

    test::TempDir dir;
    std::atomic<std::chrono::system_clock::time_point> clock{std::chrono::system_clock::now()};
};

TEST_F(StoreTest, FirstRunCreatesBothFiles) {
    dir.write("resources/config.json", R"({"pages":[{"name":"Shipped"}],"extra":1})");
    const auto store = open();
    EXPECT_TRUE(store->isFirstRun);
    const Json saved = stateJson();
    EXPECT_TRUE(std::regex_match(saved["pin"].get<std::string>(), std::regex("[0-9]{6}")));
    EXPECT_EQ(saved["tokens"], Json::array());
    EXPECT_TRUE(
        std::regex_match(saved["relayId"].get<std::string>(),
                         std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-"
                                    "[0-9A-F]{12}")));
    EXPECT_EQ(saved["pin"], store->pinValue());
    EXPECT_EQ(saved["relayId"], store->relayId());
    EXPECT_EQ(modeOf(state()), 0600u);
    EXPECT_EQ(Json::parse(*readWholeFile(configFile())),
              sanitize(Json::parse(R"({"pages":[{"name":"Shipped"}],"extra":1})")));
}

TEST_F(StoreTest, WithoutAShippedDefaultTheBuiltInOneIsWritten) {
    const auto store = open();
    EXPECT_EQ(store->snapshotConfig(), builtInDefaultConfig());
    const std::string text = *readWholeFile(configFile());
    EXPECT_NE(text.find("\n  "), std::string::npos) << "pretty-printed";
    EXPECT_NE(text.find("1.12"), std::string::npos);
    EXPECT_EQ(Json::parse(text), builtInDefaultConfig());
}

TEST_F(StoreTest, SecondStartReadsBothFilesAndRewritesNothing) {
    std::string pin, relayId, token;
    {
        const auto first = open();
        pin = first->pinValue();
        relayId = first->relayId();
        token = first->pair(pin).token;
    }
    const ino_t stateInode = inodeOf(state());
    const ino_t configInode = inodeOf(configFile());
    const auto second = open();
    EXPECT_FALSE(second->isFirstRun);
    EXPECT_EQ(second->pinValue(), pin);
    EXPECT_EQ(second->relayId(), relayId);
    EXPECT_TRUE(second->tokenValid(token));
    EXPECT_EQ(inodeOf(state()), stateInode);
    EXPECT_EQ(inodeOf(configFile()), configInode);
}

TEST_F(StoreTest, DamagedStateKeepsWhatItCan) {
    const std::string token(48, 'a');
    writeState(R"({"pin":1234,"tokens":[")" + token + R"("],"relayId":"R"})");
    {
        const auto store = open();
        EXPECT_FALSE(store->isFirstRun);
        EXPECT_EQ(store->pinValue().size(), 6u);
        EXPECT_TRUE(store->tokenValid(token));
        EXPECT_EQ(store->relayId(), "R");
        EXPECT_EQ(stateJson()["pin"], store->pinValue());
    }
    writeState(R"({"pin":"4321","tokens":["a",2],"relayId":"R"})");
    EXPECT_FALSE(open()->tokenValid("a"));

    writeState("not json");
    const auto store = open();
    EXPECT_FALSE(store->isFirstRun);
    EXPECT_EQ(store->pinValue().size(), 6u);
    EXPECT_EQ(store->relayId().size(), 36u);
    EXPECT_EQ(stateJson()["tokens"], Json::array());
}

TEST_F(StoreTest, ConfigThatIsNotAnObjectIsReplaced) {
    dir.write("support/config.json", "[1,2,3]");
    const auto store = open();
    EXPECT_EQ(store->snapshotConfig(), builtInDefaultConfig());
    EXPECT_EQ(Json::parse(*readWholeFile(configFile())), builtInDefaultConfig());
}

TEST_F(StoreTest, PinLockOutLastsUntilRestart) {
    auto store = open();
    const std::string pin = store->pinValue();
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(store->pair("x").kind, PairResult::Kind::wrong);
    }
    EXPECT_EQ(store->pair(pin).kind, PairResult::Kind::ok);  // resets the count
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(store->pair("x").kind, PairResult::Kind::wrong);
    }
    EXPECT_TRUE(store->isLocked());
    EXPECT_EQ(store->pair(pin).kind, PairResult::Kind::locked);

    // A code still pairs, and changing the PIN keeps the lock.
    EXPECT_TRUE(store->consumeCode(store->mintCode()));
    EXPECT_TRUE(store->setPin("2468"));
    EXPECT_EQ(store->pair("2468").kind, PairResult::Kind::locked);

    store = open();
    EXPECT_FALSE(store->isLocked());
    const auto result = store->pair("2468");
    EXPECT_EQ(result.kind, PairResult::Kind::ok);
    EXPECT_TRUE(std::regex_match(result.token, std::regex("[0-9a-f]{48}")));
}

TEST_F(StoreTest, PinRule) {
    const auto store = open();
    const std::string original = store->pinValue();
    for (std::string bad : {"123", "123456789", "12a4", "12 34", "", " 1234", "１２３４"}) {
        EXPECT_FALSE(store->setPin(bad)) << bad;
    }
    EXPECT_EQ(store->pinValue(), original);
    for (std::string good : {"0000", "12345678"}) {
        EXPECT_TRUE(store->setPin(good));
        EXPECT_EQ(stateJson()["pin"], good);
    }
}

TEST_F(StoreTest, OneTimeCodes) {
    const auto store = open();
    const std::string code = store->mintCode();
    EXPECT_TRUE(std::regex_match(code, std::regex("[0-9a-f]{16}")));
    const auto token = store->consumeCode(code);
    ASSERT_TRUE(token);
    EXPECT_TRUE(stateJson()["tokens"].get<std::vector<std::string>>() ==
                std::vector<std::string>{*token});
    EXPECT_FALSE(store->consumeCode(code));
    EXPECT_FALSE(store->consumeCode(""));

    const std::string late = store->mintCode();
    clock = clock.load() + 600s;  // expiring at this very instant counts as expired
    EXPECT_FALSE(store->consumeCode(late));
    const std::string fresh = store->mintCode();
    clock = clock.load() + 599s;
    EXPECT_TRUE(store->consumeCode(fresh));

    store->mintCode();
    store->mintCode();
    clock = clock.load() + 601s;
    EXPECT_EQ(store->openCodeCount(), 2u);
    store->mintCode();  // the two expired ones are purged
    EXPECT_EQ(store->openCodeCount(), 1u);
}

TEST_F(StoreTest, RemoveTokenAlwaysWritesTheState) {
    const auto store = open();
    const std::string token = store->pair(store->pinValue()).token;
    const ino_t before = inodeOf(state());
    store->removeToken("never issued");
    EXPECT_NE(inodeOf(state()), before);
    EXPECT_TRUE(store->tokenValid(token));
    store->removeToken(token);
    EXPECT_FALSE(store->tokenValid(token));
    EXPECT_EQ(stateJson()["tokens"], Json::array());
}

TEST_F(StoreTest, FilesAreNeverTornNorReadableByOthers) {
    ::umask(022);
    const auto store = open();
    std::atomic<bool> done{false};
    std::atomic<int> torn{0}, exposed{0}, reads{0};
    std::thread reader([&] {
        while (!done) {
            if (auto text = readWholeFile(state())) {
                ++reads;
                auto parsed = parseJson(*text);
                torn += !parsed || !parsed->is_object();
            }
            exposed += (modeOf(state()) & 077) != 0;
        }
    });
    std::thread writer([&] {
        for (int i = 0; i < 300; ++i) {
            store->pair(store->pinValue());
        }
    });
    writer.join();
    done = true;
    reader.join();
    EXPECT_GT(reads, 0);
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(exposed, 0);
    EXPECT_EQ(modeOf(configFile()), 0644u);
    for (const auto& entry : std::filesystem::directory_iterator(support())) {
        EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos)
            << "temporary file left behind: " << entry.path();
    }
}

TEST_F(StoreTest, ConcurrentSavesLandOneAfterTheOther) {
    const auto store = open();
    std::vector<std::thread> savers;
    for (int t = 0; t < 4; ++t) {
        savers.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                store->saveConfig({{"pages", Json::array()}, {"writer", t}, {"round", i}});
            }
        });
    }
    for (auto& s : savers) {
        s.join();
    }
    // Whatever won is the same in memory and on disk, and whole.
    EXPECT_EQ(Json::parse(*readWholeFile(configFile())), store->snapshotConfig());
    EXPECT_EQ(store->snapshotConfig()["round"], 24);
}

TEST_F(StoreTest, FlowsAndAppsGoThroughTheFile) {
    const auto store = open();
    store->saveConfig({{"pages", {{{"tiles", {{{"type", "app"}, {"value", "Files"}}}}}}}});
    EXPECT_EQ(store->allowedApps(), std::set<std::string>{"Files"});
    store->addFlow("Morning", "x", Json::array({{{"type", "url"}, {"value", "https://a.b"}}}));
    EXPECT_EQ(Json::parse(*readWholeFile(configFile()))["pages"][1]["tiles"][0]["label"],
              "Morning");
    store->removeFlow("Morning");
    EXPECT_TRUE(Json::parse(*readWholeFile(configFile()))["pages"][1]["tiles"].empty());
}

TEST(SupportFolder, FromTheEnvironment) {
    ::setenv("TD_SUPPORT", "/somewhere/else", 1);
    EXPECT_EQ(supportFolderFromEnvironment(), "/somewhere/else");
    ::setenv("TD_SUPPORT", "", 1);
    ::setenv("XDG_CONFIG_HOME", "/xdg", 1);
    EXPECT_EQ(supportFolderFromEnvironment(), "/xdg/tapdeck");
    ::unsetenv("TD_SUPPORT");
    ::setenv("XDG_CONFIG_HOME", "relative", 1);
    ::setenv("HOME", "/home/u", 1);
    EXPECT_EQ(supportFolderFromEnvironment(), "/home/u/.config/tapdeck");
}

}  // namespace
}  // namespace td::store
