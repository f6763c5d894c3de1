// The launcher's one sequence: configuration, install paths, installed and remote version, then
// the player or the downloaded updater; every failure ends in starting the player.
#pragma once

#include "http/http_client.hpp"
#include "launcher/platform.hpp"

#include <cstdint>
#include <functional>
#include <memory>

namespace velora {

// The requests of the sequence. One client serves both, so the second carries the first's
// cookies.
class ILauncherClient {
public:
    virtual ~ILauncherClient() = default;
    virtual std::shared_ptr<IHTTPResponse> Get(const UnicodeString& url) = 0;
};

// THTTPClient behind ILauncherClient.
std::unique_ptr<ILauncherClient> CreateLauncherClient();

// What the launcher holds for the whole process.
struct TLauncherState {
    std::shared_ptr<IHTTPResponse> response;
    UnicodeString installdir;
    UnicodeString updaterpath;
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
              TClientFactory createClient);

    // Runs the sequence; a failure anywhere starts the player with the path held at that moment.
    void Run() noexcept;
    // Releases the state at process end, response first.
    void Finalize() noexcept;

    const TLauncherState& State() const noexcept { return FState; }

private:
    void Sequence();
    void WriteUpdater(IHTTPResponse& response);
    void StartPlayer();

    IPlatform& FPlatform;
    TLoadConfiguration FLoadConfiguration;
    TClientFactory FCreateClient;
    TLauncherState FState;
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
inline constexpr std::u16string_view kUpdateMessage =
    u"There is a new software version available. Give us a few minutes to update.";
inline constexpr std::u16string_view kUpdaterParameterSuffix = u" velora";
inline constexpr std::int32_t kCopyChunkSize = 1048576;

} // namespace velora
