#pragma once

#include <gio/gio.h>

#include <chrono>
#include <string>
#include <thread>

namespace korvel::testing {

// A private message bus with one of python3-dbusmock's templates serving on
// it (NetworkManager, a notification daemon): the real service names and
// interfaces, driven through the template's own Mock methods. address() is
// empty where dbus-daemon or python3-dbusmock is missing.
class MockedBus {
public:
    // systemBus: the template is told the bus is the system bus.
    MockedBus(const char* templateName, const char* serviceName, bool systemBus) {
        daemon_ = g_subprocess_new(static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDOUT_PIPE |
                                                                 G_SUBPROCESS_FLAGS_STDERR_SILENCE),
                                   nullptr, "dbus-daemon", "--session", "--nofork",
                                   "--print-address=1", nullptr);
        if (daemon_ == nullptr) {
            return;
        }
        GDataInputStream* out = g_data_input_stream_new(g_subprocess_get_stdout_pipe(daemon_));
        gchar* line = g_data_input_stream_read_line(out, nullptr, nullptr, nullptr);
        const std::string address = line != nullptr ? line : "";
        g_free(line);
        g_object_unref(out);
        GSubprocessLauncher* launcher = g_subprocess_launcher_new(static_cast<GSubprocessFlags>(
            G_SUBPROCESS_FLAGS_STDOUT_SILENCE | G_SUBPROCESS_FLAGS_STDERR_SILENCE));
        g_subprocess_launcher_setenv(
            launcher, systemBus ? "DBUS_SYSTEM_BUS_ADDRESS" : "DBUS_SESSION_BUS_ADDRESS",
            address.c_str(), TRUE);
        // Debian's own interpreter: the package installs for it alone.
        mock_ = g_subprocess_launcher_spawn(launcher, nullptr, "/usr/bin/python3", "-m", "dbusmock",
                                            systemBus ? "--system" : "--session", "--template",
                                            templateName, nullptr);
        g_object_unref(launcher);
        connection_ = g_dbus_connection_new_for_address_sync(
            address.c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr);
        // Bounded wait for the mock to own its name, not a timing requirement.
        for (int i = 0; i < 200 && mock_ != nullptr && connection_ != nullptr; ++i) {
            if (hasOwner(serviceName)) {
                address_ = address;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }

    ~MockedBus() {
        if (connection_ != nullptr) {
            g_dbus_connection_close_sync(connection_, nullptr, nullptr);
            g_object_unref(connection_);
        }
        for (GSubprocess* process : {mock_, daemon_}) {
            if (process != nullptr) {
                g_subprocess_force_exit(process);
                g_subprocess_wait(process, nullptr, nullptr);
                g_object_unref(process);
            }
        }
    }
    MockedBus(const MockedBus&) = delete;
    MockedBus& operator=(const MockedBus&) = delete;

    const std::string& address() const { return address_; }

    // A method call on the bus; the reply, or null with the error in `error`.
    GVariant* call(const char* service, const char* path, const char* interface, const char* method,
                   GVariant* parameters, std::string* error = nullptr) {
        GError* failure = nullptr;
        GVariant* reply =
            g_dbus_connection_call_sync(connection_, service, path, interface, method, parameters,
                                        nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &failure);
        if (failure != nullptr) {
            if (error != nullptr) {
                *error = failure->message;
            }
            g_error_free(failure);
        }
        return reply;
    }

private:
    bool hasOwner(const char* name) {
        GVariant* reply = call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "NameHasOwner", g_variant_new("(s)", name));
        gboolean owned = FALSE;
        if (reply != nullptr) {
            g_variant_get(reply, "(b)", &owned);
            g_variant_unref(reply);
        }
        return owned;
    }

    GSubprocess* daemon_ = nullptr;
    GSubprocess* mock_ = nullptr;
    GDBusConnection* connection_ = nullptr;
    std::string address_;
};

} // namespace korvel::testing
