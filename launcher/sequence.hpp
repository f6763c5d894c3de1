// The launcher's one sequence: configuration, install paths, installed and remote version, then
// the player or the downloaded updater; every failure ends in starting the player.
#pragma once

#include "http/http_client.hpp"
#include "launcher/platform.hpp"
#include "signing/verifier.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>

namespace velora {

// The requests of the sequence. One client serves them all, so later ones carry the cookies
// that earlier answers set.
class ILauncherClient {
public:
    virtual ~ILauncherClient() = default;
    // A short document (the version, the signature), held in memory.
    virtual std::shared_ptr<IHTTPResponse> Get(const UnicodeString& url) = 0;
    // The updater: its body goes to destination as it arrives. onHeaders is told of each
    // response's headers before its body, and may lower the exchange's limit, which starts
    // at exchangeTimeout milliseconds. onData is told as the body arrives and may abort it.
    virtual std::shared_ptr<IHTTPResponse> Download(const UnicodeString& url, TStream& destination,
                                                    std::int32_t exchangeTimeout,
                                                    const TReceiveHeadersCallback& onHeaders,
                                                    const TReceiveDataCallback& onData) = 0;
};

// THTTPClient behind ILauncherClient.
std::unique_ptr<ILauncherClient> CreateLauncherClient();

// The signature check of the updater: the keys the build holds (none: no check, no request) and
// where the verifier comes from.
struct TUpdateKeys {
    std::span<const TP256PublicKey> keys;
    std::function<std::unique_ptr<ISignatureVerifier>()> createVerifier;
};
// The keys compiled into this program and the platform's verifier.
TUpdateKeys BuildUpdateKeys();

class TUpdaterSink;

// What the launcher holds for the whole process.
struct TLauncherState {
    std::shared_ptr<IHTTPResponse> response;
    UnicodeString installdir;
    UnicodeString updaterpath;
    UnicodeString downloadpath;
    UnicodeString playerpath;
    std::int32_t remoteversion = 0;
    UnicodeString versiontext;
    UnicodeString versionvalue;
};

class TLauncher {
public:
    using TLoadConfiguration = std::function<void()>;
    using TClientFactory = std::function<std::unique_ptr<ILauncherClient>()>;

    TLauncher(IPlatform& platform, TLoadConfiguration loadConfiguration,
              TClientFactory createClient, TUpdateKeys updateKeys = BuildUpdateKeys());
    ~TLauncher();

    // Runs the sequence; a failure anywhere starts the player with the path held at that moment.
    void Run() noexcept;
    // Releases the state at process end, response first.
    void Finalize() noexcept;

    const TLauncherState& State() const noexcept { return FState; }

private:
    void Sequence();
    // Fetches the updater into the download file; true once it is whole, checked and renamed to
    // the updater's path. False for a status other than 200; a failure raises.
    bool DownloadUpdater(const UnicodeString& controllerurl);
    void StartPlayer();

    IPlatform& FPlatform;
    TLoadConfiguration FLoadConfiguration;
    TClientFactory FCreateClient;
    TUpdateKeys FUpdateKeys;
    TLauncherState FState;
    std::unique_ptr<ISignatureVerifier> FVerifier;
    // Where the last response's body went; released after that response.
    std::unique_ptr<TUpdaterSink> FDownload;
    // The client itself is kept until the process ends, past this object.
    ILauncherClient* FClient = nullptr;
};

// Literals of the sequence.
inline constexpr std::u16string_view kInstallFolderName = u"Velora Player";
inline constexpr std::u16string_view kPlayerFileName = u"Velora_Player.exe";
inline constexpr std::u16string_view kSettingsFileName = u"settings.ini";
inline constexpr std::u16string_view kSettingsKey = u"LocalVersion";
inline constexpr std::u16string_view kVersionDocument = u"velora-softwareversion";
inline constexpr std::u16string_view kUpdaterFolder = u"software/";
inline constexpr std::u16string_view kUpdaterFileName = u"updater.exe";
// Where the updater is written until it is whole and checked.
inline constexpr std::u16string_view kDownloadFileName = u"updater.exe.part";
inline constexpr std::u16string_view kUpdateMessage =
    u"There is a new software version available. Give us a few minutes to update.";
inline constexpr std::u16string_view kUpdaterParameterSuffix = u" velora";
inline constexpr std::int32_t kCopyChunkSize = 1048576;

} // namespace velora
