#include "launcher/sequence.hpp"

#include "config/customtypes.hpp"
#include "launcher/numbers.hpp"
#include "launcher/paths.hpp"
#include "launcher/profile.hpp"
#include "launcher/signed_update.hpp"
#include "rtl/exceptions.hpp"

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
                     TClientFactory createClient)
    : FPlatform(platform), FLoadConfiguration(std::move(loadConfiguration)),
      FCreateClient(std::move(createClient)) {}

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
    FPlatform.RemoveFile(FState.updaterpath);
    FPlatform.ShowInformationMessage(UnicodeString(kUpdateMessage));

    FState.response = FClient->Get(controllerurl + UnicodeString(kUpdaterFolder) +
                                   UnicodeString(kUpdaterFileName));
    if (FState.response->GetStatusCode() != 200) {
        StartPlayer();
        return;
    }
    // Builds with update keys refuse an updater that is not signed for this version; the
    // fallback then starts the player before any updater file exists.
    CheckSignedUpdater(*FClient, controllerurl, FState.remoteversion, *FState.response);

    WriteUpdater(*FState.response);

    // A download that the system will not run would leave the user with nothing.
    if (!FPlatform.StartProgram(FState.updaterpath, IntToStr(FState.remoteversion) +
                                                        UnicodeString(kUpdaterParameterSuffix))) {
        StartPlayer();
    }
}

void TLauncher::WriteUpdater(IHTTPResponse& response) {
    TStream& body = response.GetContentStream();
    // The body the transport accepted is written whole. A length header that disagrees with it
    // (a chunked body with a stray Content-Length, say) leaves its size untrusted.
    const std::int64_t length = response.GetContentLength();
    if ((length >= 0 || response.ContainsHeader(u"Content-Length")) && length != body.Size()) {
        throw EReadError(
            Format(u"Content-Length %d disagrees with a body of %d bytes", {length, body.Size()}));
    }
    // Closed before anything is started, also when the copy fails; a failure that the system
    // reports only on closing fails like a write.
    const std::unique_ptr<TStream> updaterfile = FPlatform.CreateFileStream(FState.updaterpath);
    updaterfile->CopyFrom(body, length, kCopyChunkSize);
    updaterfile->Close();
}

void TLauncher::Finalize() noexcept {
    FState.response.reset();
    FState.installdir.clear();
    FState.updaterpath.clear();
    FState.playerpath.clear();
    FState.versiontext.clear();
    FState.versionvalue.clear();
}

} // namespace velora
