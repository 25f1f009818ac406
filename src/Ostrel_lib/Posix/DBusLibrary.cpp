#include "DBusLibrary.h"

#include "Platform.h"

#include <atomic>
#include <mutex>

namespace DBus {
namespace {

constexpr char kLibraryBaseName[] = "dbus-1";
constexpr int kLibraryAbiVersion = 3;

Api g_loaded{};
std::atomic<const Api *> g_library{nullptr};
std::atomic<const Api *> g_override{nullptr};

// Fills one slot by name; false when the function is missing.
template <typename Function> bool Resolve(void *library, const char *name, Function &slot) {
    slot = reinterpret_cast<Function>(Platform::FindLibraryFunction(library, 0, name));
    return slot != nullptr;
}

const Api *Load() {
    static std::mutex loading;
    std::lock_guard<std::mutex> lock(loading);
    if (const Api *api = g_library.load())
        return api;
    void *library = Platform::LoadSharedLibrary(kLibraryBaseName, kLibraryAbiVersion);
    if (library == nullptr)
        return nullptr;
    Api api{};
#define OSTREL_DBUS_RESOLVE(field) Resolve(library, "dbus_" #field, api.field)
    const bool complete =
        OSTREL_DBUS_RESOLVE(error_init) && OSTREL_DBUS_RESOLVE(error_free) &&
        OSTREL_DBUS_RESOLVE(threads_init_default) && OSTREL_DBUS_RESOLVE(connection_open_private) &&
        OSTREL_DBUS_RESOLVE(bus_register) && OSTREL_DBUS_RESOLVE(connection_set_exit_on_disconnect) &&
        OSTREL_DBUS_RESOLVE(connection_close) && OSTREL_DBUS_RESOLVE(connection_unref) &&
        OSTREL_DBUS_RESOLVE(connection_get_is_connected) && OSTREL_DBUS_RESOLVE(connection_get_unix_fd) &&
        OSTREL_DBUS_RESOLVE(connection_read_write) && OSTREL_DBUS_RESOLVE(connection_pop_message) &&
        OSTREL_DBUS_RESOLVE(connection_get_dispatch_status) && OSTREL_DBUS_RESOLVE(connection_send) &&
        OSTREL_DBUS_RESOLVE(connection_flush) && OSTREL_DBUS_RESOLVE(connection_send_with_reply_and_block) &&
        OSTREL_DBUS_RESOLVE(message_new_method_call) && OSTREL_DBUS_RESOLVE(message_new_method_return) &&
        OSTREL_DBUS_RESOLVE(message_new_error) && OSTREL_DBUS_RESOLVE(message_unref) &&
        OSTREL_DBUS_RESOLVE(message_set_auto_start) && OSTREL_DBUS_RESOLVE(message_get_type) &&
        OSTREL_DBUS_RESOLVE(message_get_path) && OSTREL_DBUS_RESOLVE(message_get_interface) &&
        OSTREL_DBUS_RESOLVE(message_get_member) && OSTREL_DBUS_RESOLVE(message_get_reply_serial) &&
        OSTREL_DBUS_RESOLVE(set_error_from_message) && OSTREL_DBUS_RESOLVE(message_iter_init) &&
        OSTREL_DBUS_RESOLVE(message_iter_init_append) && OSTREL_DBUS_RESOLVE(message_iter_get_arg_type) &&
        OSTREL_DBUS_RESOLVE(message_iter_next) && OSTREL_DBUS_RESOLVE(message_iter_recurse) &&
        OSTREL_DBUS_RESOLVE(message_iter_get_basic) && OSTREL_DBUS_RESOLVE(message_iter_append_basic) &&
        OSTREL_DBUS_RESOLVE(message_iter_open_container) && OSTREL_DBUS_RESOLVE(message_iter_close_container);
#undef OSTREL_DBUS_RESOLVE
    if (!complete)
        return nullptr;
    // The bus thread and the host threads use the library side by side.
    api.threads_init_default();
    g_loaded = api;
    g_library.store(&g_loaded);
    return &g_loaded;
}

} // namespace

const Api *Library() {
    if (const Api *api = g_override.load())
        return api;
    if (const Api *api = g_library.load())
        return api;
    return Load();
}

const Api *SetLibraryForTesting(const Api *api) {
    return g_override.exchange(api);
}

void MessageUnref::operator()(Message *message) const {
    const Api *api = Library();
    if (message != nullptr && api != nullptr)
        api->message_unref(message);
}

std::string Failure::Text() const {
    return name + ": " + message;
}

Failure TakeError(const Api &api, Error &error) {
    Failure failure{error.name != nullptr ? error.name : "org.freedesktop.DBus.Error.Failed",
                    error.message != nullptr ? error.message : ""};
    api.error_free(&error);
    return failure;
}

Writer::Writer(const Api &api, Message *message) : m_api(api) {
    m_api.message_iter_init_append(message, &m_top);
}

Writer &Writer::String(const char *text) {
    m_ok = m_ok && m_api.message_iter_append_basic(&m_top, kTypeString, &text);
    return *this;
}

Writer &Writer::ObjectPath(const char *path) {
    m_ok = m_ok && m_api.message_iter_append_basic(&m_top, kTypeObjectPath, &path);
    return *this;
}

Writer &Writer::BeginDictionary() {
    m_ok = m_ok && m_api.message_iter_open_container(&m_top, kTypeArray, "{sv}", &m_dict);
    m_inDictionary = m_ok;
    return *this;
}

Writer &Writer::EntryOf(const char *key, int type, const char *signature, const void *value) {
    if (!m_ok || !m_inDictionary) {
        m_ok = false;
        return *this;
    }
    Iter entry{};
    Iter variant{};
    m_ok = m_api.message_iter_open_container(&m_dict, kTypeDictEntry, nullptr, &entry) &&
           m_api.message_iter_append_basic(&entry, kTypeString, &key) &&
           m_api.message_iter_open_container(&entry, kTypeVariant, signature, &variant) &&
           m_api.message_iter_append_basic(&variant, type, value) &&
           m_api.message_iter_close_container(&entry, &variant) && m_api.message_iter_close_container(&m_dict, &entry);
    return *this;
}

Writer &Writer::Entry(const char *key, const char *text) {
    return EntryOf(key, kTypeString, "s", &text);
}

Writer &Writer::Entry(const char *key, bool value) {
    const Bool flag = value ? 1u : 0u;
    return EntryOf(key, kTypeBoolean, "b", &flag);
}

Writer &Writer::EndDictionary() {
    m_ok = m_ok && m_inDictionary && m_api.message_iter_close_container(&m_top, &m_dict);
    m_inDictionary = false;
    return *this;
}

Reader::Reader(const Api &api, Message *message) : m_api(api) {
    m_valid = message != nullptr && m_api.message_iter_init(message, &m_iter);
}

void Reader::Next() {
    if (m_valid && !m_api.message_iter_next(&m_iter))
        m_valid = false;
}

Reader Reader::Enter() {
    const int type = Type();
    if (type != kTypeArray && type != kTypeDictEntry && type != kTypeVariant)
        return Reader(m_api, nullptr);
    Iter sub{};
    m_api.message_iter_recurse(&m_iter, &sub);
    return Reader(m_api, sub);
}

std::string Reader::Text() {
    const int type = Type();
    if (type != kTypeString && type != kTypeObjectPath)
        return std::string();
    const char *text = nullptr;
    m_api.message_iter_get_basic(&m_iter, &text);
    return text != nullptr ? text : "";
}

bool Reader::Boolean() {
    if (Type() != kTypeBoolean)
        return false;
    Bool value = 0;
    m_api.message_iter_get_basic(&m_iter, &value);
    return value != 0;
}

int Reader::TakeFd() {
    if (Type() != kTypeUnixFd)
        return -1;
    int fd = -1;
    m_api.message_iter_get_basic(&m_iter, &fd);
    return fd;
}

} // namespace DBus
