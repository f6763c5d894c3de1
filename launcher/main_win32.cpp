// Velora_Launcher for Windows: a GUI program that shows no window of its own. It starts the
// installed player, or downloads and starts the updater when the server has a newer version.
// Reads no arguments and always exits with 0.
#include "config/customtypes.hpp"
#include "launcher/platform.hpp"
#include "launcher/sequence.hpp"
#include "rtl/win32.hpp"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    try {
        // Creating the platform creates the hidden application window.
        const std::unique_ptr<velora::IPlatform> platform = velora::CreatePlatform();
        velora::TLauncher launcher(*platform, velora::customtypes::LoadConfiguration,
                                   velora::CreateLauncherClient);
        launcher.Run();
        launcher.Finalize();
        velora::customtypes::FinalizeConfiguration();
    } catch (...) {
    }
    ::ExitProcess(0);
}
