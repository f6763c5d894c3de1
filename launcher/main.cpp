// Velora_Launcher: starts the installed player, or downloads and starts the updater when the
// server has a newer version. Reads no arguments and always exits with 0.
#include "config/customtypes.hpp"
#include "launcher/platform.hpp"
#include "launcher/sequence.hpp"

#include <csignal>

int main() {
    // A peer that closes the connection, or a file-size limit hit while the updater is
    // written, must fail a step, not end the process with a signal.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    try {
        const std::unique_ptr<velora::IPlatform> platform = velora::CreatePlatform();
        velora::TLauncher launcher(*platform, velora::customtypes::LoadConfiguration,
                                   velora::CreateLauncherClient);
        launcher.Run();
        launcher.Finalize();
        velora::customtypes::FinalizeConfiguration();
    } catch (...) {
    }
    return 0;
}
