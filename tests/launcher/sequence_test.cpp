#include "config/customtypes.hpp"
#include "fake_platform.hpp"
#include "launcher/sequence.hpp"
#include "launcher/updater_download.hpp"
#include "signing/document.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>

namespace velora {
namespace {

using test::FakePlatform;

// A response with a fixed status, body and Content-Length text (none: no such header).
class FakeResponse : public IHTTPResponse {
public:
    FakeResponse(std::int32_t status, const std::string& body,
                 std::optional<std::string> contentLength)
        : FStatus(status), FContentLength(std::move(contentLength)) {
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
    UnicodeString GetHeaderValue(const UnicodeString& name) override {
        return SameText(name, u"Content-Length") && FContentLength ? U16(*FContentLength) : u"";
    }
    UnicodeString GetContentCharSet() override { return u""; }
    UnicodeString GetContentEncoding() override { return u""; }
    UnicodeString GetContentLanguage() override { return u""; }
    std::int64_t GetContentLength() override {
        if (!FContentLength || FContentLength->empty() ||
            FContentLength->find_first_not_of("0123456789") != std::string::npos) {
            return -1;
        }
        return std::stoll(*FContentLength);
    }
    UnicodeString GetDate() override { return u""; }
    UnicodeString GetLastModified() override { return u""; }
    std::int32_t GetStatusCode() override { return FStatus; }
    UnicodeString GetStatusText() override { return u""; }
    THTTPProtocolVersion GetVersion() override { return THTTPProtocolVersion::HTTP_1_1; }
    bool ContainsHeader(const UnicodeString& name) override {
        return !GetHeaderValue(name).empty();
    }
    const TCookies& GetCookies() override { return FCookies; }

private:
    std::int32_t FStatus;
    std::optional<std::string> FContentLength;
    TMemoryStream FBody;
    TCookies FCookies;
};

enum class Failure { None, Network, OutOfMemory, DroppedMidBody };

struct Answer {
    std::int32_t status = 200;
    std::string body;
    bool withLength = true;
    Failure failure = Failure::None;
    // A length header that disagrees with the body, or is no number.
    std::optional<std::string> announcedLength = std::nullopt;

    std::optional<std::string> LengthHeader() const {
        return announcedLength ? announcedLength
               : withLength    ? std::optional<std::string>(std::to_string(body.size()))
                               : std::nullopt;
    }
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
        const Answer answer = Find(url);
        return std::make_shared<FakeResponse>(answer.status, answer.body, answer.LengthHeader());
    }

    // Headers first, then the body in pieces, as the client hands them on.
    std::shared_ptr<IHTTPResponse> Download(const UnicodeString& url, TStream& destination,
                                            std::int32_t exchangeTimeout,
                                            const TReceiveHeadersCallback& onHeaders,
                                            const TReceiveDataCallback& onData) override {
        const Answer answer = Find(url);
        auto response = std::make_shared<FakeResponse>(answer.status, "", answer.LengthHeader());
        exchangeTimeouts.push_back(exchangeTimeout);
        onHeaders(*response, exchangeTimeout);
        exchangeTimeouts.push_back(exchangeTimeout);
        destination.SetSize(0);
        destination.SetPosition(0);
        constexpr std::size_t kPiece = 65536;
        for (std::size_t at = 0; at < answer.body.size(); at += kPiece) {
            if (answer.failure == Failure::DroppedMidBody && at >= answer.body.size() / 2) {
                throw ENetHTTPResponseException(u"Error reading data: (56) Failure");
            }
            const std::size_t n = std::min(kPiece, answer.body.size() - at);
            destination.WriteBuffer(answer.body.data() + at, static_cast<std::int64_t>(n));
            bool abort = false;
            onData(-1, static_cast<std::int64_t>(at + n), abort);
            if (abort) {
                break; // the client returns quietly, the body cut short
            }
        }
        return response;
    }

    static inline std::vector<std::int32_t> exchangeTimeouts;

private:
    Answer Find(const UnicodeString& url) {
        FPlatform.events.push_back("get " + ToUtf8(url));
        const auto it = FAnswers.find(url);
        const Answer answer = it == FAnswers.end() ? Answer{404, "not found"} : it->second;
        if (answer.failure == Failure::Network) {
            throw ENetHTTPRequestException(u"Error sending data: (7) Couldn't connect to server");
        }
        if (answer.failure == Failure::OutOfMemory) {
            throw std::bad_alloc();
        }
        return answer;
    }

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
const std::string kPart = std::string(kDir) + "updater.exe.part";
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
        FakeClient::exchangeTimeouts.clear();
        TLauncher launcher(
            platform, [this] { LoadConfiguration(); },
            [&] { return std::make_unique<FakeClient>(platform, answers); }, keys);
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
    // Before the message: the old updater and a stale download go.
    std::vector<std::string> UntilTheMessage() {
        return {"get " + ToUtf8(kVersionUrl), "delete " + kUpdater, "delete " + kPart, kMessage};
    }
    // The download is written beside the updater, which it becomes once whole.
    std::vector<std::string> Downloaded() {
        return {"create " + kPart, "get " + ToUtf8(kUpdaterUrl), "flush " + kPart, "close " + kPart,
                "rename " + kPart + " " + kUpdater};
    }
    std::vector<std::string> UpdateWith(const std::string& parameters) {
        std::vector<std::string> events = UntilTheMessage();
        for (const std::string& e : Downloaded()) {
            events.push_back(e);
        }
        events.push_back("start " + kUpdater + "|" + parameters);
        return events;
    }

    FakePlatform platform;
    TUpdateKeys keys{{}, CreateSignatureVerifier};
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
    platform.files[U16(kPart)] = {4, 5};
    std::vector<std::string> expected = UntilTheMessage();
    for (const std::string& e : {"create " + kPart, "get " + ToUtf8(kUpdaterUrl), "close " + kPart,
                                 "delete " + kPart, "start " + kPlayer + "|"}) {
        expected.push_back(e);
    }
    EXPECT_EQ(Run({{kVersionUrl, Answer{200, "2"}}, {kUpdaterUrl, Answer{404, "gone"}}}), expected);
    EXPECT_TRUE(platform.files.empty());
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
        EXPECT_EQ(platform.files.count(U16(kPart)), 0u);
    }
}

// The whole exchange has a limit: from the signed size, else from the announced length, which
// the headers bring.
TEST_F(Sequence, DownloadTimeFollowsTheLength) {
    struct Case {
        std::int64_t length;
        std::int32_t timeout;
    };
    for (const Case& c :
         {Case{-1, 1800000}, Case{0, 600000}, Case{8192, 601000}, Case{3000, 600366},
          Case{24575999, 3599999}, Case{24576000, 3600000}, Case{INT64_MAX, 3600000}}) {
        EXPECT_EQ(UpdaterDownloadTimeout(c.length), c.timeout) << c.length;
    }
    for (const bool withLength : {true, false}) {
        platform = FakePlatform();
        Settings(u"1");
        Run({{kVersionUrl, Answer{200, "2"}},
             {kUpdaterUrl, Answer{200, std::string(3000, 'u'), withLength}}});
        EXPECT_EQ(FakeClient::exchangeTimeouts,
                  (std::vector<std::int32_t>{3600000, withLength ? 600366 : 1800000}));
    }
}

// An update is due, but no whole updater that can be started comes of it: the download never
// becomes updater.exe, and the player starts.
struct UntrustedUpdaterCase {
    const char* name;
    Answer download;
    std::vector<std::string> eventsAfterTheMessage;
    bool noByteWritten = false;
};

TEST_F(Sequence, UpdaterThatCannotBeTrustedOrStartedEndsWithThePlayer) {
    const std::string body(3000000, 'u');
    const std::string player = "start " + kPlayer + "|";
    const std::string updater = "start " + kUpdater + "|2 velora";
    const std::string create = "create " + kPart;
    const std::string get = "get " + ToUtf8(kUpdaterUrl);
    const std::string close = "close " + kPart;
    const std::string remove = "delete " + kPart;
    const std::string flush = "flush " + kPart;
    const std::string rename = "rename " + kPart + " " + kUpdater;
    const std::vector<std::string> broken = {create, get, close, remove, player};
    Answer dropped{200, body};
    dropped.failure = Failure::DroppedMidBody;
    auto announcing = [&](std::string length) {
        Answer a{200, body};
        a.announcedLength = length;
        return a;
    };
    const std::vector<UntrustedUpdaterCase> cases = {
        {"LengthHeaderShorterThanTheBody", announcing("1000"), broken},
        {"LengthHeaderLongerThanTheBody", announcing("3000001"), broken},
        // A duplicated header joined by the platform is no length.
        {"LengthHeaderThatIsNoNumber", announcing("1000, 1000"), broken, true},
        {"LengthHeaderBeyondTheMost", announcing("2147483648"), broken, true},
        {"DroppedMidBody", dropped, broken},
        {"WriteFailsMidBody", Answer{200, body}, broken},
        {"CloseReportsAFailure", Answer{200, body}, {create, get, flush, close, remove, player}},
        {"SystemRefusesToRunIt",
         Answer{200, body},
         {create, get, flush, close, rename, updater, player}},
        {"UpdaterPathTakenWhileTheMessageShows",
         Answer{200, body},
         {create, get, flush, close, rename, remove, player}},
        {"DownloadPathTakenWhileTheMessageShows", Answer{200, body}, {create, player}, true},
    };
    for (const UntrustedUpdaterCase& c : cases) {
        platform = FakePlatform();
        Settings(u"1");
        const std::string name = c.name;
        platform.closeFails = name == "CloseReportsAFailure";
        platform.writeLimit = name == "WriteFailsMidBody" ? 1048576 : -1;
        if (name == "SystemRefusesToRunIt") {
            platform.unstartablePrograms.insert(U16(kUpdater));
        }
        if (name.find("PathTaken") != std::string::npos) {
            const UnicodeString taken = U16(name.starts_with("Updater") ? kUpdater : kPart);
            platform.whileMessageShows = [this, taken] { platform.files[taken] = {'x'}; };
        }
        const std::vector<std::string> events =
            Run({{kVersionUrl, Answer{200, "2"}}, {kUpdaterUrl, c.download}});
        const auto message = std::find(events.begin(), events.end(), kMessage);
        ASSERT_NE(message, events.end()) << c.name;
        EXPECT_EQ(std::vector<std::string>(message + 1, events.end()), c.eventsAfterTheMessage)
            << c.name;
        if (c.noByteWritten) {
            EXPECT_EQ(platform.bytesWritten, 0) << c.name;
        }
        // What another process put there stays as it was; nothing of ours is left.
        if (name.find("PathTaken") != std::string::npos) {
            EXPECT_EQ(platform.files.size(), 1u) << c.name;
        } else if (name != "SystemRefusesToRunIt") {
            EXPECT_TRUE(platform.files.empty()) << c.name;
        }
    }
}

// Holds for a signature whose bytes equal the key's; hashes for real.
class FakeVerifier final : public ISignatureVerifier {
public:
    std::unique_ptr<ISha256> CreateSha256() override {
        return CreateSignatureVerifier()->CreateSha256();
    }
    bool VerifyP256Sha256(const TP256PublicKey& key, std::span<const std::uint8_t>,
                          const TP256Signature& signature) override {
        return key == signature;
    }
};

TSha256Digest Sha256Of(const std::string& data) {
    const std::unique_ptr<ISha256> hash = CreateSignatureVerifier()->CreateSha256();
    hash->Update({reinterpret_cast<const std::uint8_t*>(data.data()), data.size()});
    return hash->Final();
}

// A build with an update key: the signature comes first, bounds the body, and the download
// becomes updater.exe only once it is the signed one.
struct SignedCase {
    const char* name;
    std::string versionDocument;
    std::optional<std::string> signature; // none: the server's 404
    Answer download;
    std::vector<std::string> eventsAfterTheSignature;
    bool noByteWritten = false;
};

TEST_F(Sequence, SignedUpdaterIsCheckedBeforeItBecomesTheUpdater) {
    static const TP256PublicKey key = [] {
        TP256PublicKey k{};
        k.fill(7);
        return k;
    }();
    TP256PublicKey unknown{};
    unknown.fill(9);
    keys = {{&key, 1}, [] { return std::make_unique<FakeVerifier>(); }};
    const UnicodeString signatureUrl = kUpdaterUrl + u".sig";

    std::string body = "#!updater";
    for (int i = 0; i < 300000; ++i) {
        body.push_back(static_cast<char>(i * 31 + i / 977));
    }
    const auto size = static_cast<std::int64_t>(body.size());
    auto document = [&](std::int32_t version, std::int64_t signedSize,
                        const std::string& signedBody, const TP256PublicKey& signer) {
        return FormatSignatureDocument(UpdaterStatements(version, signedSize, Sha256Of(signedBody)),
                                       signer);
    };
    const std::string valid = document(42, size, body, key);
    std::string tampered = body;
    tampered[size / 2] ^= 1;
    Answer withoutLength{200, body, false};
    // Shorter: no limit stops it, only the signed size does.
    Answer announcingLess{200, body};
    announcingLess.announcedLength = std::to_string(size - 1);

    const std::string player = "start " + kPlayer + "|";
    const std::string create = "create " + kPart;
    const std::string get = "get " + ToUtf8(kUpdaterUrl);
    const std::string failed[] = {"close " + kPart, "delete " + kPart, player};
    const std::vector<SignedCase> cases = {
        {"Valid",
         "42",
         valid,
         Answer{200, body},
         {create, get, "flush " + kPart, "close " + kPart, "rename " + kPart + " " + kUpdater,
          "start " + kUpdater + "|42 velora"}},
        // The signed number is compared as a number, whatever the version document's form.
        {"HexVersionDocument",
         "$2A",
         valid,
         Answer{200, body},
         {create, get, "flush " + kPart, "close " + kPart, "rename " + kPart + " " + kUpdater,
          "start " + kUpdater + "|42 velora"}},
        {"SignedForANewerVersion",
         "42",
         document(43, size, body, key),
         Answer{200, body},
         {player},
         true},
        {"SignedForAnOlderVersion",
         "42",
         document(41, size, body, key),
         Answer{200, body},
         {player},
         true},
        {"UnknownKey", "42", document(42, size, body, unknown), Answer{200, body}, {player}, true},
        {"NoSignature", "42", std::nullopt, Answer{200, body}, {player}, true},
        {"TamperedBody",
         "42",
         valid,
         Answer{200, tampered},
         {create, get, failed[0], failed[1], failed[2]}},
        {"BodyLongerThanSigned",
         "42",
         document(42, size - 1, body.substr(0, body.size() - 1), key),
         withoutLength,
         {create, get, failed[0], failed[1], failed[2]}},
        {"BodyShorterThanSigned",
         "42",
         document(42, size + 1, body + "x", key),
         withoutLength,
         {create, get, failed[0], failed[1], failed[2]}},
        {"LengthHeaderDisagreesWithTheSignedSize",
         "42",
         valid,
         announcingLess,
         {create, get, failed[0], failed[1], failed[2]},
         true},
    };
    for (const SignedCase& c : cases) {
        platform = FakePlatform();
        Settings(u"41");
        std::map<UnicodeString, Answer> answers = {{kVersionUrl, Answer{200, c.versionDocument}},
                                                   {kUpdaterUrl, c.download}};
        if (c.signature) {
            answers[signatureUrl] = Answer{200, *c.signature};
        }
        const std::vector<std::string> events = Run(answers);
        const auto asked = std::find(events.begin(), events.end(), "get " + ToUtf8(signatureUrl));
        ASSERT_NE(asked, events.end()) << c.name;
        EXPECT_EQ(std::vector<std::string>(asked + 1, events.end()), c.eventsAfterTheSignature)
            << c.name;
        if (c.noByteWritten) {
            EXPECT_EQ(platform.bytesWritten, 0) << c.name;
        }
        // Never more than the signed size reaches the disk.
        EXPECT_LE(platform.bytesWritten,
                  c.name == std::string("BodyLongerThanSigned") ? size - 1 : size)
            << c.name;
        if (std::string(c.name).starts_with("Valid") || c.versionDocument == "$2A") {
            const Bytes& written = platform.files[U16(kUpdater)];
            EXPECT_TRUE(std::string(written.begin(), written.end()) == body) << c.name;
            EXPECT_EQ(FakeClient::exchangeTimeouts,
                      (std::vector<std::int32_t>{UpdaterDownloadTimeout(size),
                                                 UpdaterDownloadTimeout(size)}));
        } else {
            EXPECT_TRUE(platform.files.empty()) << c.name;
        }
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

TEST_F(Sequence, MessageThatCannotBeShownEndsBeforeTheDownload) {
    Settings(u"1");
    platform.messageFails = true;
    std::vector<std::string> expected = UntilTheMessage();
    expected.push_back("start " + kPlayer + "|");
    EXPECT_EQ(Run({{kVersionUrl, Answer{200, "2"}}, {kUpdaterUrl, Answer{200, "u"}}}), expected);
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
        EXPECT_EQ(events.size(), 9u);
        EXPECT_EQ(events.back(), "start " + kPlayer + "|");
        EXPECT_TRUE(platform.files.empty());
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

    // Without the folder nothing is made, asked for or started: the root is anyone's.
    platform = FakePlatform(u'\\');
    platform.localAppData = u"";
    Run({{kVersionUrl, Answer{200, "0"}}});
    EXPECT_EQ(platform.events, std::vector<std::string>{"folder 28"});
    EXPECT_TRUE(state.installdir.empty());
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
