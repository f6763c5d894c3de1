#include "config/customtypes.hpp"
#include "fake_platform.hpp"
#include "launcher/sequence.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>

namespace velora {
namespace {

using test::FakePlatform;

// A response with a fixed status and body; nothing else of it is read by the sequence.
class FakeResponse : public IHTTPResponse {
public:
    FakeResponse(std::int32_t status, const std::string& body, std::int64_t contentLength)
        : FStatus(status), FContentLength(contentLength) {
        FBody.WriteBuffer(body.data(), static_cast<std::int64_t>(body.size()));
        FBody.SetPosition(0);
    }
    TNetHeaders GetHeaders() override { return {}; }
    UnicodeString GetMimeType() override { return u""; }
    TStream& GetContentStream() override { return FBody; }
    UnicodeString ContentAsString(const TEncoding*) override {
        return U16(std::string_view(reinterpret_cast<const char*>(FBody.Memory()),
                                    static_cast<std::size_t>(FBody.Size())));
    }
    UnicodeString GetHeaderValue(const UnicodeString&) override { return u""; }
    UnicodeString GetContentCharSet() override { return u""; }
    UnicodeString GetContentEncoding() override { return u""; }
    UnicodeString GetContentLanguage() override { return u""; }
    std::int64_t GetContentLength() override { return FContentLength; }
    UnicodeString GetDate() override { return u""; }
    UnicodeString GetLastModified() override { return u""; }
    std::int32_t GetStatusCode() override { return FStatus; }
    UnicodeString GetStatusText() override { return u""; }
    THTTPProtocolVersion GetVersion() override { return THTTPProtocolVersion::HTTP_1_1; }
    bool ContainsHeader(const UnicodeString&) override { return false; }
    const TCookies& GetCookies() override { return FCookies; }

private:
    std::int32_t FStatus;
    std::int64_t FContentLength;
    TMemoryStream FBody;
    TCookies FCookies;
};

enum class Failure { None, Network, OutOfMemory };

struct Answer {
    std::int32_t status = 200;
    std::string body;
    bool withLength = true;
    Failure failure = Failure::None;
    // A length header that disagrees with the body.
    std::optional<std::int64_t> announcedLength = std::nullopt;
};

class FakeClient : public ILauncherClient {
public:
    FakeClient(FakePlatform& platform, std::map<UnicodeString, Answer> answers,
               std::shared_ptr<bool> destroyed = nullptr)
        : FPlatform(platform), FAnswers(std::move(answers)), FDestroyed(std::move(destroyed)) {}
    ~FakeClient() override {
        if (FDestroyed) {
            *FDestroyed = true;
        }
    }
    std::shared_ptr<IHTTPResponse> Get(const UnicodeString& url) override {
        FPlatform.events.push_back("get " + ToUtf8(url));
        const auto it = FAnswers.find(url);
        const Answer answer = it == FAnswers.end() ? Answer{404, "not found"} : it->second;
        if (answer.failure == Failure::Network) {
            throw ENetHTTPRequestException(u"Error sending data: (7) Couldn't connect to server");
        }
        if (answer.failure == Failure::OutOfMemory) {
            throw std::bad_alloc();
        }
        return std::make_shared<FakeResponse>(answer.status, answer.body,
                                              answer.announcedLength ? *answer.announcedLength
                                              : answer.withLength
                                                  ? static_cast<std::int64_t>(answer.body.size())
                                                  : -1);
    }

private:
    FakePlatform& FPlatform;
    std::map<UnicodeString, Answer> FAnswers;
    std::shared_ptr<bool> FDestroyed;
};

constexpr char16_t kController[] = u"https://updates.test/library/controllers/";
const UnicodeString kVersionUrl = UnicodeString(kController) + u"velora-softwareversion";
const UnicodeString kUpdaterUrl = UnicodeString(kController) + u"software/updater.exe";
constexpr char kDir[] = "/home/u/.local/share/Velora Player/";
const std::string kPlayer = std::string(kDir) + "Velora_Player.exe";
const std::string kUpdater = std::string(kDir) + "updater.exe";
const std::string kMessage =
    "message There is a new software version available. Give us a few minutes to update.";

class Sequence : public testing::Test {
protected:
    void SetUp() override { platform.folders = {u"/home", u"/home/u"}; }

    void Settings(std::u16string_view localVersion) {
        platform.settingsTexts[U16(kDir) + u"settings.ini"] =
            u"[Velora Player]\r\nLocalVersion=" + UnicodeString(localVersion) + u"\r\n";
    }

    // Runs the sequence and returns the events from the first request on.
    std::vector<std::string> Run(std::map<UnicodeString, Answer> answers) {
        TLauncher launcher(
            platform, [this] { LoadConfiguration(); },
            [&] { return std::make_unique<FakeClient>(platform, answers); });
        launcher.Run();
        state = launcher.State();
        launcher.Finalize();
        const auto first = std::find_if(platform.events.begin(), platform.events.end(),
                                        [](const std::string& e) { return e.starts_with("get "); });
        return {first, platform.events.end()};
    }

    void LoadConfiguration() {
        if (configurationFails) {
            throw EConvertError(u"TSimpleCodec.Begin_DecryptMemory - Wrong mode.");
        }
        customtypes::controllerurl = kController;
    }

    std::vector<std::string> PlayerOnly() {
        return {"get " + ToUtf8(kVersionUrl), "start " + kPlayer + "|"};
    }
    std::vector<std::string> UpdateWith(const std::string& parameters) {
        return {"get " + ToUtf8(kVersionUrl),          "delete " + kUpdater, kMessage,
                "get " + ToUtf8(kUpdaterUrl),          "create " + kUpdater, "close " + kUpdater,
                "start " + kUpdater + "|" + parameters};
    }

    FakePlatform platform;
    TLauncherState state;
    bool configurationFails = false;
};

struct VersionCase {
    std::optional<std::u16string_view> localVersion; // nullopt: no settings file
    std::string document;
    std::optional<std::string> updaterParameters; // nullopt: the player is started
};

class VersionDecision : public Sequence, public testing::WithParamInterface<VersionCase> {};

TEST_P(VersionDecision, StartsThePlayerOrTheUpdater) {
    const VersionCase& c = GetParam();
    if (c.localVersion) {
        Settings(*c.localVersion);
    }
    const std::vector<std::string> events =
        Run({{kVersionUrl, Answer{200, c.document}}, {kUpdaterUrl, Answer{200, "#!updater"}}});
    EXPECT_EQ(events, c.updaterParameters ? UpdateWith(*c.updaterParameters) : PlayerOnly());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VersionDecision,
    testing::Values(
        // First run without settings: the local number is 0.
        VersionCase{std::nullopt, "1", "1 velora"}, VersionCase{std::nullopt, "0", std::nullopt},
        VersionCase{std::nullopt, "-5", std::nullopt}, VersionCase{u"42", "42", std::nullopt},
        VersionCase{u"43", "42", std::nullopt}, VersionCase{u"41", "42", "42 velora"},
        // Numeric forms of the settings value.
        VersionCase{u"$1F", "31", std::nullopt}, VersionCase{u"0x1F", "32", "32 velora"},
        VersionCase{u"1F", "1", "1 velora"}, VersionCase{u"word", "0", std::nullopt},
        VersionCase{u"-1", "0", "0 velora"},
        // Numeric forms of the version document.
        VersionCase{u"41", " 42 \r\n", "42 velora"}, VersionCase{u"1", "0x2A", "42 velora"},
        VersionCase{u"1", "$2a", "42 velora"}, VersionCase{u"1", "007", "7 velora"},
        VersionCase{u"-2147483648", "-2147483647", "-2147483647 velora"},
        VersionCase{u"1", "$7FFFFFFF", "2147483647 velora"},
        VersionCase{u"0", "-2147483648", std::nullopt}));

class BadVersionDocument : public Sequence, public testing::WithParamInterface<std::string> {};

TEST_P(BadVersionDocument, FallsBackToThePlayerWithoutAMessage) {
    Settings(u"1");
    EXPECT_EQ(Run({{kVersionUrl, Answer{200, GetParam()}}}), PlayerOnly());
    EXPECT_EQ(state.versionvalue, Trim(U16(GetParam())));
}

INSTANTIATE_TEST_SUITE_P(Cases, BadVersionDocument,
                         testing::Values("42.0", "", "\r\n", "1 2", "<html>404</html>",
                                         "2147483648",
                                         "\xC2\xA0"
                                         "42",
                                         "\xEF\xBB\xBF"
                                         "42"));

TEST_F(Sequence, VersionDocumentStatusIsNotLookedAt) {
    Settings(u"1");
    EXPECT_EQ(Run({{kVersionUrl, Answer{404, "5"}}, {kUpdaterUrl, Answer{200, "u"}}}),
              UpdateWith("5 velora"));
}

TEST_F(Sequence, UpdaterNotFoundStartsThePlayerAfterTheMessage) {
    Settings(u"1");
    platform.files[U16(kUpdater)] = {1, 2, 3};
    EXPECT_EQ(
        Run({{kVersionUrl, Answer{200, "2"}}, {kUpdaterUrl, Answer{404, "gone"}}}),
        (std::vector<std::string>{"get " + ToUtf8(kVersionUrl), "delete " + kUpdater, kMessage,
                                  "get " + ToUtf8(kUpdaterUrl), "start " + kPlayer + "|"}));
    EXPECT_EQ(platform.files.count(U16(kUpdater)), 0u);
}

TEST_F(Sequence, DownloadIsWrittenWholeWithOrWithoutALength) {
    std::string body(2 * 1048576 + 17, '\0');
    for (std::size_t i = 0; i < body.size(); ++i) {
        body[i] = static_cast<char>(i * 7 + i / 1000);
    }
    for (const bool withLength : {true, false}) {
        platform = FakePlatform();
        Settings(u"1");
        EXPECT_EQ(
            Run({{kVersionUrl, Answer{200, "2"}}, {kUpdaterUrl, Answer{200, body, withLength}}}),
            UpdateWith("2 velora"));
        const Bytes& written = platform.files[U16(kUpdater)];
        EXPECT_EQ(std::string(written.begin(), written.end()), body) << withLength;
    }
}

TEST_F(Sequence, FailedCopyClosesTheFileAndStartsThePlayer) {
    Settings(u"1");
    platform.writeLimit = 1048576;
    const std::vector<std::string> events = Run(
        {{kVersionUrl, Answer{200, "2"}}, {kUpdaterUrl, Answer{200, std::string(3000000, 'x')}}});
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[events.size() - 2], "close " + kUpdater);
    EXPECT_EQ(events.back(), "start " + kPlayer + "|");
    EXPECT_EQ(platform.started.size(), 1u);
}

// The download arrived with status 200, but what would be started is not the whole updater,
// or not at all.
struct UntrustedUpdaterCase {
    const char* name;
    std::optional<std::int64_t> announcedLength = std::nullopt;
    bool closeFails;
    bool unstartable;
    std::vector<std::string> eventsAfterDownload;
};

TEST_F(Sequence, UpdaterThatCannotBeTrustedOrStartedEndsWithThePlayer) {
    const std::string body(3000, 'u');
    const std::string player = "start " + kPlayer + "|";
    const std::string updater = "start " + kUpdater + "|2 velora";
    const std::vector<UntrustedUpdaterCase> cases = {
        {"LengthHeaderShorterThanTheBody", 1000, false, false, {player}},
        {"LengthHeaderLongerThanTheBody", 3001, false, false, {player}},
        {"CloseReportsAFailure",
         std::nullopt,
         true,
         false,
         {"create " + kUpdater, "close " + kUpdater, player}},
        {"SystemRefusesToRunIt",
         std::nullopt,
         false,
         true,
         {"create " + kUpdater, "close " + kUpdater, updater, player}},
    };
    for (const UntrustedUpdaterCase& c : cases) {
        platform = FakePlatform();
        Settings(u"1");
        platform.closeFails = c.closeFails;
        if (c.unstartable) {
            platform.unstartablePrograms.insert(U16(kUpdater));
        }
        Answer download{200, body};
        download.announcedLength = c.announcedLength;
        const std::vector<std::string> events =
            Run({{kVersionUrl, Answer{200, "2"}}, {kUpdaterUrl, download}});
        const auto get = std::find(events.begin(), events.end(), "get " + ToUtf8(kUpdaterUrl));
        ASSERT_NE(get, events.end()) << c.name;
        EXPECT_EQ(std::vector<std::string>(get + 1, events.end()), c.eventsAfterDownload) << c.name;
    }
}

TEST_F(Sequence, TheClientOutlivesTheLauncher) {
    const auto destroyed = std::make_shared<bool>(false);
    Settings(u"1");
    {
        TLauncher launcher(
            platform, [this] { LoadConfiguration(); },
            [&] {
                return std::make_unique<FakeClient>(
                    platform, std::map<UnicodeString, Answer>{{kVersionUrl, Answer{200, "0"}}},
                    destroyed);
            });
        launcher.Run();
        launcher.Finalize();
    }
    EXPECT_EQ(platform.started.size(), 1u);
    EXPECT_FALSE(*destroyed);
}

TEST_F(Sequence, UpdaterThatCannotBeCreatedStartsThePlayer) {
    Settings(u"1");
    platform.uncreatableFiles.insert(U16(kUpdater));
    const std::vector<std::string> events =
        Run({{kVersionUrl, Answer{200, "2"}}, {kUpdaterUrl, Answer{200, "u"}}});
    EXPECT_EQ(events.back(), "start " + kPlayer + "|");
    EXPECT_EQ(platform.started.size(), 1u);
}

TEST_F(Sequence, MessageThatCannotBeShownEndsBeforeTheDownload) {
    Settings(u"1");
    platform.messageFails = true;
    EXPECT_EQ(Run({{kVersionUrl, Answer{200, "2"}}, {kUpdaterUrl, Answer{200, "u"}}}),
              (std::vector<std::string>{"get " + ToUtf8(kVersionUrl), "delete " + kUpdater,
                                        kMessage, "start " + kPlayer + "|"}));
}

TEST_F(Sequence, RequestFailuresStartThePlayer) {
    for (const Failure failure : {Failure::Network, Failure::OutOfMemory}) {
        platform = FakePlatform();
        Settings(u"1");
        Answer broken;
        broken.failure = failure;
        EXPECT_EQ(Run({{kVersionUrl, broken}}), PlayerOnly());

        platform = FakePlatform();
        Settings(u"1");
        const std::vector<std::string> events =
            Run({{kVersionUrl, Answer{200, "2"}}, {kUpdaterUrl, broken}});
        EXPECT_EQ(events.size(), 5u);
        EXPECT_EQ(events.back(), "start " + kPlayer + "|");
    }
}

TEST_F(Sequence, FailedConfigurationStartsAnEmptyPathAndAsksNothing) {
    configurationFails = true;
    Run({});
    EXPECT_EQ(platform.events, (std::vector<std::string>{"start |"}));
    EXPECT_TRUE(state.playerpath.empty());
}

TEST_F(Sequence, InstallFolderComesFromTheLocalDataFolder) {
    platform = FakePlatform(u'\\');
    platform.localAppData = u"C:\\Users\\u\\AppData\\Local";
    platform.folders = {u"C:\\Users\\u\\AppData\\Local"};
    Run({{kVersionUrl, Answer{200, "0"}}});
    EXPECT_EQ(state.installdir, u"C:\\Users\\u\\AppData\\Local\\Velora Player\\");
    EXPECT_EQ(state.playerpath, u"C:\\Users\\u\\AppData\\Local\\Velora Player\\Velora_Player.exe");
    EXPECT_EQ(platform.folders.count(u"C:\\Users\\u\\AppData\\Local\\Velora Player"), 1u);
    EXPECT_EQ(platform.events.front(), "folder 28");

    // A failed lookup puts the folder right under the root; the sequence still goes on.
    platform = FakePlatform();
    platform.localAppData = u"";
    Run({{kVersionUrl, Answer{200, "0"}}});
    EXPECT_EQ(state.installdir, u"/Velora Player/");
    EXPECT_EQ(platform.started.back().first, u"/Velora Player/Velora_Player.exe");
}

TEST_F(Sequence, NothingEscapesWhenEvenTheFallbackFails) {
    platform.startThrowsBadAlloc = true;
    Run({{kVersionUrl, Answer{200, "x"}}});
    EXPECT_TRUE(platform.started.empty());
}

TEST_F(Sequence, StateHoldsTheTextsOfTheLastRun) {
    Settings(u"1");
    Run({{kVersionUrl, Answer{200, " 0x2A\n"}}, {kUpdaterUrl, Answer{200, "u"}}});
    EXPECT_EQ(state.versiontext, u" 0x2A\n");
    EXPECT_EQ(state.versionvalue, u"0x2A");
    EXPECT_EQ(state.remoteversion, 42);
    EXPECT_EQ(state.updaterpath, U16(kUpdater));
    ASSERT_NE(state.response, nullptr);
    EXPECT_EQ(state.response->GetStatusCode(), 200);
}

} // namespace
} // namespace velora
