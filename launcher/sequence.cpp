#include "launcher/sequence.hpp"

#include "config/customtypes.hpp"
#include "launcher/numbers.hpp"
#include "launcher/paths.hpp"
#include "launcher/profile.hpp"
#include "launcher/signed_update.hpp"

namespace velora {

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

    FClient = FCreateClient();
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

    {
        // Closed before anything is started, also when the copy fails.
        const std::unique_ptr<TStream> updaterfile = FPlatform.CreateFileStream(FState.updaterpath);
        updaterfile->CopyFrom(FState.response->GetContentStream(),
                              FState.response->GetContentLength(), kCopyChunkSize);
    }

    FPlatform.StartProgram(FState.updaterpath,
                           IntToStr(FState.remoteversion) + UnicodeString(kUpdaterParameterSuffix));
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
