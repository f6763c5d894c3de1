// The information message through GTK 3. GTK is loaded only when the message is shown, so the
// path that starts the player never pays for it, and the launcher runs where GTK is absent.
#include "launcher/platform_posix.hpp"

#include "rtl/exceptions.hpp"

#include <dlfcn.h>

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

} // namespace velora::posix
