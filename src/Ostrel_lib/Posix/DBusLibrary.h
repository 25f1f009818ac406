// The D-Bus client library (libdbus-1), loaded on first use as the Widcomm
// shim is: a machine without it simply has no BlueZ stack, and the library
// still builds and runs without its development files. Only the few types and
// functions the BlueZ stack uses are declared here, with the layouts of the
// library's stable ABI (a test compares them with the real headers).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace DBus {

struct Connection; // DBusConnection
struct Message;    // DBusMessage

using Bool = uint32_t; // dbus_bool_t

// DBusError: two texts, a word of flag bits, one pointer of padding.
struct Error {
    const char *name;
    const char *message;
    unsigned int flags;
    void *padding1;
};

// DBusMessageIter on a platform with pointers of at most 8 bytes.
struct Iter {
    void *dummy1;
    void *dummy2;
    uint32_t dummy3;
    int dummy4, dummy5, dummy6, dummy7, dummy8, dummy9, dummy10, dummy11;
    int pad1;
    void *pad2;
    void *pad3;
};

// Type codes of the wire format.
constexpr int kTypeInvalid = 0;
constexpr int kTypeByte = 'y';
constexpr int kTypeBoolean = 'b';
constexpr int kTypeUint32 = 'u';
constexpr int kTypeString = 's';
constexpr int kTypeObjectPath = 'o';
constexpr int kTypeUnixFd = 'h';
constexpr int kTypeArray = 'a';
constexpr int kTypeVariant = 'v';
constexpr int kTypeDictEntry = 'e';

constexpr int kMessageMethodCall = 1;
constexpr int kMessageMethodReturn = 2;
constexpr int kMessageError = 3;
constexpr int kMessageSignal = 4;

constexpr int kDispatchDataRemains = 0;

// The functions, resolved by name.
struct Api {
    void (*error_init)(Error *error);
    void (*error_free)(Error *error);
    Bool (*threads_init_default)();
    Connection *(*connection_open_private)(const char *address, Error *error);
    Bool (*bus_register)(Connection *connection, Error *error);
    void (*connection_set_exit_on_disconnect)(Connection *connection, Bool exit);
    void (*connection_close)(Connection *connection);
    void (*connection_unref)(Connection *connection);
    Bool (*connection_get_is_connected)(Connection *connection);
    Bool (*connection_get_unix_fd)(Connection *connection, int *fd);
    Bool (*connection_read_write)(Connection *connection, int timeoutMs);
    Message *(*connection_pop_message)(Connection *connection);
    int (*connection_get_dispatch_status)(Connection *connection);
    Bool (*connection_send)(Connection *connection, Message *message, uint32_t *serial);
    void (*connection_flush)(Connection *connection);
    Message *(*connection_send_with_reply_and_block)(Connection *connection, Message *message, int timeoutMs,
                                                     Error *error);
    Message *(*message_new_method_call)(const char *destination, const char *path, const char *interface,
                                        const char *method);
    Message *(*message_new_method_return)(Message *call);
    Message *(*message_new_error)(Message *call, const char *name, const char *text);
    void (*message_unref)(Message *message);
    void (*message_set_auto_start)(Message *message, Bool autoStart);
    int (*message_get_type)(Message *message);
    const char *(*message_get_path)(Message *message);
    const char *(*message_get_interface)(Message *message);
    const char *(*message_get_member)(Message *message);
    uint32_t (*message_get_reply_serial)(Message *message);
    Bool (*set_error_from_message)(Error *error, Message *message);
    Bool (*message_iter_init)(Message *message, Iter *iter);
    void (*message_iter_init_append)(Message *message, Iter *iter);
    int (*message_iter_get_arg_type)(Iter *iter);
    Bool (*message_iter_next)(Iter *iter);
    void (*message_iter_recurse)(Iter *iter, Iter *sub);
    void (*message_iter_get_basic)(Iter *iter, void *value);
    Bool (*message_iter_append_basic)(Iter *iter, int type, const void *value);
    Bool (*message_iter_open_container)(Iter *iter, int type, const char *signature, Iter *sub);
    Bool (*message_iter_close_container)(Iter *iter, Iter *sub);
};

// The loaded library's table, or null when it cannot be loaded or lacks a
// function (asked again next time). Once loaded it stays loaded.
const Api *Library();

// Tests: a table to use in place of the library (null: the library again).
// Answers the override it replaces.
const Api *SetLibraryForTesting(const Api *api);

// Owns one message reference.
struct MessageUnref {
    void operator()(Message *message) const;
};
using MessagePtr = std::unique_ptr<Message, MessageUnref>;

// A failure as D-Bus names it: "org.bluez.Error.Failed" and its text.
struct Failure {
    std::string name;
    std::string message;
    // "name: message", the form the traces show.
    std::string Text() const;
};

// Copies and frees a filled DBusError.
Failure TakeError(const Api &api, Error &error);

// Builds a message's arguments in order.
class Writer {
  public:
    Writer(const Api &api, Message *message);
    Writer &String(const char *text);
    Writer &ObjectPath(const char *path);
    // An a{sv} of string and boolean values.
    Writer &BeginDictionary();
    Writer &Entry(const char *key, const char *text);
    Writer &Entry(const char *key, bool value);
    Writer &EndDictionary();
    // False when the library ran out of memory on the way.
    bool Ok() const { return m_ok; }

  private:
    Writer &EntryOf(const char *key, int type, const char *signature, const void *value);

    const Api &m_api;
    Iter m_top{};
    Iter m_dict{};
    bool m_inDictionary = false;
    bool m_ok = true;
};

// Walks arguments (or a container's elements) in order.
class Reader {
  public:
    // The message's first argument.
    Reader(const Api &api, Message *message);
    int Type() { return m_valid ? m_api.message_iter_get_arg_type(&m_iter) : kTypeInvalid; }
    bool AtEnd() { return Type() == kTypeInvalid; }
    void Next();
    // The container at the current position (array, dict entry, variant).
    Reader Enter();
    // The current basic value; empty or false when the type differs.
    std::string Text();
    bool Boolean();
    // A UNIX fd argument: a new descriptor the caller owns, or -1.
    int TakeFd();

  private:
    Reader(const Api &api, const Iter &iter) : m_api(api), m_iter(iter), m_valid(true) {}

    const Api &m_api;
    Iter m_iter{};
    bool m_valid = false;
};

} // namespace DBus
