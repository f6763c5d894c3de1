#include "launcher/sequence.hpp"

#include "config/customtypes.hpp"
#include "launcher/numbers.hpp"
#include "launcher/paths.hpp"
#include "launcher/profile.hpp"
#include "launcher/signed_update.hpp"
#include "launcher/updater_download.hpp"
#include "rtl/exceptions.hpp"
#include "signing/update_check.hpp"

#include <vector>

namespace velora {

namespace {

// The HTTP client lives until the process ends. Made before this holder, so the libraries it
// set up are finalised after it.
ILauncherClient& KeepUntilExit(std::unique_ptr<ILauncherClient> client) {
    static std::vector<std::unique_ptr<ILauncherClient>> clients;
    clients.push_back(std::move(client));
    return *clients.back();
}

} // namespace

TLauncher::TLauncher(IPlatform& platform, TLoadConfiguration loadConfiguration,
                     TClientFactory createClient, TUpdateKeys updateKeys)
    : FPlatform(platform), FLoadConfiguration(std::move(loadConfiguration)),
      FCreateClient(std::move(createClient)), FUpdateKeys(std::move(updateKeys)) {}

TLauncher::~TLauncher() = default;

void TLauncher::Run() noexcept {
    try {
        Sequence();
    } catch (...) {
        // Not shown, not logged: the player is all the user gets.
        try {
            StartPlayer();
        } catch (...) {
        }
    }
}

void TLauncher::StartPlayer() {
    FPlatform.StartProgram(FState.playerpath, UnicodeString());
}

void TLauncher::Sequence() {
    FLoadConfiguration();

    const UnicodeString folder = FPlatform.ShellFolderPath(CSIDL_LOCAL_APPDATA);
    // Without it the install folder would be one at the drive's root, which any user may
    // make: nothing is started then, as when the player is missing.
    if (folder.empty()) {
        return;
    }
    FState.installdir = IncludeTrailingPathDelimiter(FPlatform, folder) +
                        UnicodeString(kInstallFolderName) + FPlatform.PathDelimiter();
    FState.playerpath = FState.installdir + UnicodeString(kPlayerFileName);
    ForceDirectories(FPlatform, FState.installdir);

    std::int32_t localversion = 0;
    {
        TIniFile settings(FPlatform, FState.installdir + UnicodeString(kSettingsFileName));
        localversion =
            settings.ReadInteger(UnicodeString(kInstallFolderName), UnicodeString(kSettingsKey), 0);
    }

    FClient = &KeepUntilExit(FCreateClient());
    const UnicodeString& controllerurl = customtypes::controllerurl;
    // The status of the version document is not looked at: its body is the number or nothing.
    FState.response = FClient->Get(controllerurl + UnicodeString(kVersionDocument));
    FState.versiontext = FState.response->ContentAsString();
    FState.versionvalue = Trim(FState.versiontext);
    FState.remoteversion = StrToInt(FState.versionvalue);

    if (localversion >= FState.remoteversion) {
        StartPlayer();
        return;
    }

    FState.updaterpath = FState.installdir + UnicodeString(kUpdaterFileName);
    FState.downloadpath = FState.installdir + UnicodeString(kDownloadFileName);
    FPlatform.RemoveFile(FState.updaterpath);
    // What a launcher that was ended mid-download left behind.
    FPlatform.RemoveFile(FState.downloadpath);
    FPlatform.ShowInformationMessage(UnicodeString(kUpdateMessage));

    if (!DownloadUpdater(controllerurl)) {
        StartPlayer();
        return;
    }

    // A download that the system will not run would leave the user with nothing.
    if (!FPlatform.StartProgram(FState.updaterpath, IntToStr(FState.remoteversion) +
                                                        UnicodeString(kUpdaterParameterSuffix))) {
        StartPlayer();
    }
}

bool TLauncher::DownloadUpdater(const UnicodeString& controllerurl) {
    // Builds with update keys learn the signed size first, and refuse an updater that is not
    // signed for this version before anything is fetched or written.
    if (!FUpdateKeys.keys.empty()) {
        FVerifier = FUpdateKeys.createVerifier();
    }
    const std::optional<TUpdaterSignature> signature =
        FVerifier ? FetchUpdaterSignature(*FClient, controllerurl, FState.remoteversion,
                                          FUpdateKeys.keys, *FVerifier)
                  : std::nullopt;
    const std::optional<std::int64_t> signedSize =
        signature ? std::optional<std::int64_t>(signature->Size) : std::nullopt;
    const std::int64_t limit = signedSize ? *signedSize : kMaxUpdaterSize;

    FDownload = std::make_unique<TUpdaterSink>(FPlatform.CreateFileStream(FState.downloadpath),
                                               limit, FVerifier.get());
    bool renamed = false;
    try {
        FPlatform.RunWithDownloadProgress([&](IDownloadProgress& progress) {
            FState.response = FClient->Download(
                controllerurl + UnicodeString(kUpdaterFolder) + UnicodeString(kUpdaterFileName),
                *FDownload, UpdaterDownloadTimeout(limit),
                [&](IHTTPResponse& response, std::int32_t& exchangeTimeout) {
                    CheckUpdaterHeaders(response, signedSize, limit, exchangeTimeout);
                },
                [&](std::int64_t contentLength, std::int64_t, bool& abort) {
                    const std::int64_t total = signedSize ? *signedSize : contentLength;
                    if (!progress.Report(FDownload->Size(), total)) {
                        // The aborted request answers with status 0: nothing is kept.
                        abort = true;
                    }
                });
        });
        if (FState.response->GetStatusCode() == 200) {
            CheckWholeBody(*FState.response, FDownload->Size());
            if (signature) {
                CheckSignedBody(*signature, FDownload->Size(), FDownload->Digest());
            }
            // Durable before it takes the updater's name, and closed before it is started.
            FDownload->Flush();
            FDownload->Close();
            renamed = FPlatform.RenameFile(FState.downloadpath, FState.updaterpath);
            // Something took the updater's name meanwhile: it stays as it is.
            if (!renamed) {
                throw EFCreateError(
                    Format(u"Cannot create file \"%s\". It is taken", {FState.updaterpath}));
            }
        }
    } catch (...) {
        FDownload->Discard();
        FPlatform.RemoveFile(FState.downloadpath);
        throw;
    }
    if (!renamed) {
        FDownload->Discard();
        FPlatform.RemoveFile(FState.downloadpath);
    }
    return renamed;
}

void TLauncher::Finalize() noexcept {
    FState.response.reset();
    FDownload.reset();
    FState.installdir.clear();
    FState.updaterpath.clear();
    FState.downloadpath.clear();
    FState.playerpath.clear();
    FState.versiontext.clear();
    FState.versionvalue.clear();
}

} // namespace velora
