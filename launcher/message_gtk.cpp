// The information message and the download's progress window through GTK 3. GTK is loaded only
// when they are shown, so the path that starts the player never pays for it, and the launcher
// runs where GTK is absent.
#include "launcher/platform_posix.hpp"

#include "launcher/download_progress.hpp"
#include "rtl/exceptions.hpp"

#include <algorithm>
#include <dlfcn.h>
#include <memory>

namespace velora::posix {

namespace {

// The few GTK 3 values used; their numbers are part of GTK 3's stable ABI.
constexpr int GTK_DIALOG_MODAL = 1;
constexpr int GTK_MESSAGE_INFO = 0;
constexpr int GTK_BUTTONS_OK = 1;
constexpr int GTK_RESPONSE_OK = -5;
constexpr int GTK_WIN_POS_CENTER = 1;
constexpr int GTK_ICON_SIZE_DIALOG = 6;

struct TGtk {
    int (*init_check)(int*, char***);
    void* (*message_dialog_new)(void*, int, int, int, const char*, ...);
    void (*message_dialog_set_markup)(void*, const char*);
    void (*message_dialog_set_image)(void*, void*);
    void* (*image_new_from_icon_name)(const char*, int);
    void (*widget_show)(void*);
    void (*window_set_title)(void*, const char*);
    void (*window_set_position)(void*, int);
    void (*dialog_set_default_response)(void*, int);
    int (*dialog_run)(void*);
    void (*widget_destroy)(void*);
    int (*events_pending)();
    int (*main_iteration)();
};

template <class F> void Bind(void* library, const char* name, F& function) {
    void* symbol = ::dlsym(library, name);
    if (symbol == nullptr) {
        throw Exception(u"GTK 3 lacks " + U16(name));
    }
    function = reinterpret_cast<F>(symbol);
}

const TGtk& LoadGtk() {
    // Never unloaded: GTK cannot be torn down once it has been initialised.
    static void* library = nullptr;
    static TGtk gtk{};
    if (library == nullptr) {
        void* handle = ::dlopen("libgtk-3.so.0", RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            throw Exception(u"GTK 3 is not available: " + U16(::dlerror()));
        }
        TGtk loaded{};
        Bind(handle, "gtk_init_check", loaded.init_check);
        Bind(handle, "gtk_message_dialog_new", loaded.message_dialog_new);
        Bind(handle, "gtk_message_dialog_set_markup", loaded.message_dialog_set_markup);
        Bind(handle, "gtk_message_dialog_set_image", loaded.message_dialog_set_image);
        Bind(handle, "gtk_image_new_from_icon_name", loaded.image_new_from_icon_name);
        Bind(handle, "gtk_widget_show", loaded.widget_show);
        Bind(handle, "gtk_window_set_title", loaded.window_set_title);
        Bind(handle, "gtk_window_set_position", loaded.window_set_position);
        Bind(handle, "gtk_dialog_set_default_response", loaded.dialog_set_default_response);
        Bind(handle, "gtk_dialog_run", loaded.dialog_run);
        Bind(handle, "gtk_widget_destroy", loaded.widget_destroy);
        Bind(handle, "gtk_events_pending", loaded.events_pending);
        Bind(handle, "gtk_main_iteration", loaded.main_iteration);
        if (loaded.init_check(nullptr, nullptr) == 0) {
            throw Exception(u"The information message cannot be shown: no display");
        }
        gtk = loaded;
        library = handle;
    }
    return gtk;
}

// What the progress window needs beyond the message; bound from the library LoadGtk opened.
struct TGtkProgress {
    void* (*dialog_new)();
    void* (*dialog_add_button)(void*, const char*, int);
    void* (*dialog_get_content_area)(void*);
    void* (*label_new)(const char*);
    void* (*progress_bar_new)();
    void (*progress_bar_set_fraction)(void*, double);
    void (*progress_bar_pulse)(void*);
    void (*progress_bar_set_text)(void*, const char*);
    void (*progress_bar_set_show_text)(void*, int);
    void (*box_pack_start)(void*, void*, int, int, unsigned);
    void (*box_set_spacing)(void*, int);
    void (*container_set_border_width)(void*, unsigned);
    void (*widget_set_halign)(void*, int);
    void (*widget_set_size_request)(void*, int, int);
    void (*widget_show_all)(void*);
    void (*window_set_resizable)(void*, int);
    int (*main_iteration_do)(int);
    unsigned long (*signal_connect_data)(void*, const char*, void (*)(), void*, void*, int);
};

const TGtkProgress& LoadGtkProgress() {
    static bool loaded = false;
    static TGtkProgress gtk{};
    if (!loaded) {
        LoadGtk();
        // Already loaded: this only finds it.
        void* handle = ::dlopen("libgtk-3.so.0", RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
        if (handle == nullptr) {
            throw Exception(u"GTK 3 is not available");
        }
        TGtkProgress bound{};
        Bind(handle, "gtk_dialog_new", bound.dialog_new);
        Bind(handle, "gtk_dialog_add_button", bound.dialog_add_button);
        Bind(handle, "gtk_dialog_get_content_area", bound.dialog_get_content_area);
        Bind(handle, "gtk_label_new", bound.label_new);
        Bind(handle, "gtk_progress_bar_new", bound.progress_bar_new);
        Bind(handle, "gtk_progress_bar_set_fraction", bound.progress_bar_set_fraction);
        Bind(handle, "gtk_progress_bar_pulse", bound.progress_bar_pulse);
        Bind(handle, "gtk_progress_bar_set_text", bound.progress_bar_set_text);
        Bind(handle, "gtk_progress_bar_set_show_text", bound.progress_bar_set_show_text);
        Bind(handle, "gtk_box_pack_start", bound.box_pack_start);
        Bind(handle, "gtk_box_set_spacing", bound.box_set_spacing);
        Bind(handle, "gtk_container_set_border_width", bound.container_set_border_width);
        Bind(handle, "gtk_widget_set_halign", bound.widget_set_halign);
        Bind(handle, "gtk_widget_set_size_request", bound.widget_set_size_request);
        Bind(handle, "gtk_widget_show_all", bound.widget_show_all);
        Bind(handle, "gtk_window_set_resizable", bound.window_set_resizable);
        Bind(handle, "gtk_main_iteration_do", bound.main_iteration_do);
        Bind(handle, "g_signal_connect_data", bound.signal_connect_data);
        gtk = bound;
        loaded = true;
    }
    return gtk;
}

constexpr int GTK_RESPONSE_CANCEL = -6;
constexpr int GTK_ALIGN_START = 1;

// The window, pumped from the download's own notifications: no second thread.
class TGtkProgressWindow final : public IDownloadProgress {
public:
    TGtkProgressWindow() : FGtk(LoadGtk()), FMore(LoadGtkProgress()) {
        FDialog = FMore.dialog_new();
        if (FDialog == nullptr) {
            throw Exception(u"The progress window cannot be shown");
        }
        FGtk.window_set_title(FDialog, ToUtf8(kProgressTitle).c_str());
        FGtk.window_set_position(FDialog, GTK_WIN_POS_CENTER);
        FMore.window_set_resizable(FDialog, 0);
        FMore.widget_set_size_request(FDialog, 420, -1);
        void* area = FMore.dialog_get_content_area(FDialog);
        FMore.container_set_border_width(area, 12);
        FMore.box_set_spacing(area, 12);
        void* label = FMore.label_new(ToUtf8(kProgressText).c_str());
        FMore.widget_set_halign(label, GTK_ALIGN_START);
        FMore.box_pack_start(area, label, 0, 0, 0);
        FBar = FMore.progress_bar_new();
        FMore.progress_bar_set_show_text(FBar, 1);
        FMore.progress_bar_set_text(FBar, "");
        FMore.box_pack_start(area, FBar, 0, 0, 0);
        FMore.dialog_add_button(FDialog, ToUtf8(kProgressCancel).c_str(), GTK_RESPONSE_CANCEL);
        // The button, Escape and the close button all answer; the window stays until the
        // download has stopped.
        FMore.signal_connect_data(FDialog, "response", reinterpret_cast<void (*)()>(&OnResponse),
                                  &FCancelled, nullptr, 0);
        FMore.signal_connect_data(FDialog, "delete-event", reinterpret_cast<void (*)()>(&OnDelete),
                                  &FCancelled, nullptr, 0);
        FMore.widget_show_all(FDialog);
        Pump();
    }
    ~TGtkProgressWindow() override {
        FGtk.widget_destroy(FDialog);
        Pump();
    }
    TGtkProgressWindow(const TGtkProgressWindow&) = delete;
    TGtkProgressWindow& operator=(const TGtkProgressWindow&) = delete;

    bool Report(std::int64_t received, std::int64_t total) override {
        if (!FCancelled && FPace.Due()) {
            if (total > 0) {
                FMore.progress_bar_set_fraction(FBar,
                                                static_cast<double>(std::min(received, total)) /
                                                    static_cast<double>(total));
            } else {
                FMore.progress_bar_pulse(FBar);
            }
            FMore.progress_bar_set_text(FBar,
                                        ToUtf8(DownloadProgressText(received, total)).c_str());
            Pump();
        }
        return !FCancelled;
    }

private:
    static void OnResponse(void*, int, void* cancelled) { *static_cast<bool*>(cancelled) = true; }
    static int OnDelete(void*, void*, void* cancelled) {
        *static_cast<bool*>(cancelled) = true;
        return 1;
    }
    void Pump() {
        while (FGtk.events_pending() != 0) {
            FMore.main_iteration_do(0);
        }
    }

    const TGtk& FGtk;
    const TGtkProgress& FMore;
    void* FDialog = nullptr;
    void* FBar = nullptr;
    bool FCancelled = false;
    TRedrawPace FPace;
};

// Markup keeps the text plain: a message dialog sets its primary text in bold otherwise.
std::string EscapeMarkup(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

} // namespace

void ShowGtkInformationMessage(const UnicodeString& text) {
    const TGtk& gtk = LoadGtk();
    void* dialog = gtk.message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_INFO,
                                          GTK_BUTTONS_OK, nullptr);
    if (dialog == nullptr) {
        throw Exception(u"The information message cannot be shown");
    }
    gtk.message_dialog_set_markup(dialog, EscapeMarkup(ToUtf8(text)).c_str());
    // GTK 3 no longer shows the message type's icon by itself.
    void* icon = gtk.image_new_from_icon_name("dialog-information", GTK_ICON_SIZE_DIALOG);
    if (icon != nullptr) {
        gtk.widget_show(icon);
        gtk.message_dialog_set_image(dialog, icon);
    }
    gtk.window_set_title(dialog, "Information");
    gtk.window_set_position(dialog, GTK_WIN_POS_CENTER);
    gtk.dialog_set_default_response(dialog, GTK_RESPONSE_OK);
    // OK, Escape and the close button all end the run; which one is not looked at.
    gtk.dialog_run(dialog);
    gtk.widget_destroy(dialog);
    while (gtk.events_pending() != 0) {
        gtk.main_iteration();
    }
}

void RunGtkDownloadProgress(const std::function<void(IDownloadProgress&)>& download) {
    std::unique_ptr<TGtkProgressWindow> window;
    try {
        window = std::make_unique<TGtkProgressWindow>();
    } catch (const Exception&) {
        // No GTK or no display: the download goes on without a window.
    }
    if (!window) {
        struct TNoWindow final : IDownloadProgress {
            bool Report(std::int64_t, std::int64_t) override { return true; }
        } noWindow;
        download(noWindow);
        return;
    }
    download(*window);
}

} // namespace velora::posix
