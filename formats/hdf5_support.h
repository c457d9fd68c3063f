// Small pieces for code that talks to HDF5's C API: handles that close themselves, the error
// stack as text, and the writer's checks that turn a failed call into an exception.
#pragma once

#include <hdf5.h>

#include <cerrno>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>

namespace murel::hdf5 {

/// Held by code that calls HDF5 on threads of its own: a library built without thread safety
/// must not be entered by two threads at once (Debian's is built with it, and takes turns itself).
inline std::mutex& library_lock() {
    static std::mutex lock;
    return lock;
}

// HDF5 prints its error stack on stderr by default; here every failure becomes an exception.
// A thread-safe library keeps that setting for each thread.
inline void silence_errors() {
    static thread_local const bool silenced = [] { return H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr) >= 0; }();
    static_cast<void>(silenced);
}

inline herr_t keep_description(unsigned depth, const H5E_error2_t* error, void* data) {
    auto* descriptions = static_cast<std::pair<std::string, std::string>*>(data);
    const std::string text = error->desc != nullptr ? error->desc : "";
    if (depth == 0) descriptions->first = text;
    descriptions->second = text;
    return 0;
}

/// What the API call said and, deepest down, what went wrong; clears the error stack.
inline std::string error_text() {
    std::pair<std::string, std::string> descriptions;
    H5Ewalk2(H5E_DEFAULT, H5E_WALK_DOWNWARD, keep_description, &descriptions);
    H5Eclear2(H5E_DEFAULT);
    if (descriptions.first.empty()) return "HDF5 error";
    if (descriptions.second.empty() || descriptions.second == descriptions.first) return descriptions.first;
    return descriptions.first + ": " + descriptions.second;
}

/// An HDF5 identifier with the function that closes it.
class handle {
public:
    handle() = default;
    handle(hid_t id, herr_t (*close)(hid_t)) : id_(id), close_(close) {}
    handle(handle&& other) noexcept : id_(std::exchange(other.id_, H5I_INVALID_HID)), close_(other.close_) {}
    handle& operator=(handle&& other) noexcept {
        if (this != &other) {
            reset();
            id_ = std::exchange(other.id_, H5I_INVALID_HID);
            close_ = other.close_;
        }
        return *this;
    }
    handle(const handle&) = delete;
    handle& operator=(const handle&) = delete;
    ~handle() { reset(); }
    hid_t get() const { return id_; }
    explicit operator bool() const { return id_ >= 0; }
    /// Closes now, for callers that must know whether closing succeeded.
    herr_t close() {
        const herr_t status = id_ >= 0 ? close_(id_) : 0;
        id_ = H5I_INVALID_HID;
        return status;
    }

private:
    void reset() {
        if (id_ >= 0) close_(id_);
        id_ = H5I_INVALID_HID;
    }
    hid_t id_ = H5I_INVALID_HID;
    herr_t (*close_)(hid_t) = nullptr;
};

/// A writer's failures of HDF5 are failed writes, with the errno the library left behind.
[[noreturn]] inline void write_failed(const std::string& path, const std::string& doing) {
    // The system's reason says it all where there is one; HDF5's own text only where there is not.
    if (errno != 0) throw std::system_error(errno, std::generic_category(), "cannot write " + path + ": " + doing);
    throw std::system_error(EIO, std::generic_category(), "cannot write " + path + ": " + doing + " (" + error_text() + ")");
}

inline hid_t written(hid_t id, const std::string& path, const std::string& doing) {
    if (id < 0) write_failed(path, doing);
    return id;
}

inline void written_status(herr_t status, const std::string& path, const std::string& doing) {
    if (status < 0) write_failed(path, doing);
}

/// A scalar attribute of variable-length UTF-8 text.
inline void write_string_attribute(hid_t object, const char* name, const std::string& value, const std::string& path) {
    handle type(written(H5Tcopy(H5T_C_S1), path, name), H5Tclose);
    written_status(H5Tset_size(type.get(), H5T_VARIABLE), path, name);
    written_status(H5Tset_cset(type.get(), H5T_CSET_UTF8), path, name);
    handle space(written(H5Screate(H5S_SCALAR), path, name), H5Sclose);
    handle attribute(written(H5Acreate2(object, name, type.get(), space.get(), H5P_DEFAULT, H5P_DEFAULT), path, name), H5Aclose);
    const char* text = value.c_str();
    written_status(H5Awrite(attribute.get(), type.get(), &text), path, name);
}

/// A scalar attribute of `memory_type`, stored as `file_type`.
inline void write_scalar_attribute(hid_t object, const char* name, hid_t file_type, hid_t memory_type, const void* value,
                                   const std::string& path) {
    handle space(written(H5Screate(H5S_SCALAR), path, name), H5Sclose);
    handle attribute(written(H5Acreate2(object, name, file_type, space.get(), H5P_DEFAULT, H5P_DEFAULT), path, name), H5Aclose);
    written_status(H5Awrite(attribute.get(), memory_type, value), path, name);
}

/// Creation properties of class `kind` (H5P_GROUP_CREATE, H5P_DATASET_CREATE) without the
/// objects' times, so that the same content makes the same bytes whenever it is written; throws
/// std::system_error naming `path` and `name`.
inline handle untimed_creation(hid_t kind, const std::string& path, const std::string& name) {
    handle properties(written(H5Pcreate(kind), path, name), H5Pclose);
    written_status(H5Pset_obj_track_times(properties.get(), false), path, name);
    return properties;
}

/// A group that closes itself.
inline handle create_group(hid_t parent, const std::string& name, const std::string& path) {
    const handle creation = untimed_creation(H5P_GROUP_CREATE, path, name);
    return handle(written(H5Gcreate2(parent, name.c_str(), H5P_DEFAULT, creation.get(), H5P_DEFAULT), path, name), H5Gclose);
}

}  // namespace murel::hdf5
