// File names in JSON, which holds only UTF-8: a name that is not UTF-8 is stored readable,
// with replacement characters, beside its bytes in hex, from which it is read back exactly.
#pragma once

#include <nlohmann/json.hpp>

#include <stdexcept>
#include <string>
#include <vector>

namespace murel::analysis {

/// Whether `text` is valid UTF-8.
inline bool is_utf8(const std::string& text) {
    try {
        (void)nlohmann::json(text).dump();
        return true;
    } catch (const nlohmann::json::type_error&) {
        return false;
    }
}

/// Puts `path` into `object` under `key`; a path that is not UTF-8 goes there with replacement
/// characters, and its bytes in hex under `key` + "_hex".
inline void put_path(nlohmann::json& object, const std::string& key, const std::string& path) {
    if (is_utf8(path)) {
        object[key] = path;
        return;
    }
    object[key] = nlohmann::json::parse(nlohmann::json(path).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        hex += digits[byte >> 4];
        hex += digits[byte & 15];
    }
    object[key + "_hex"] = hex;
}

/// `text` as put_path stores it: itself where it is UTF-8, with replacement characters elsewhere.
inline std::string shown_in_json(const std::string& text) {
    nlohmann::json holder;
    put_path(holder, "name", text);
    return holder["name"].get<std::string>();
}

/// The path that put_path stored in `object` under `key`; throws nlohmann::json::exception if
/// there is none and std::invalid_argument naming `where` and the key for hex that is not whole bytes.
inline std::string get_path(const nlohmann::json& object, const std::string& key, const std::string& where) {
    const auto hex = object.find(key + "_hex");
    if (hex == object.end()) return object.at(key).get<std::string>();
    const std::string digits = hex->get<std::string>();
    const auto bad = [&] { return std::invalid_argument(where + ": " + key + "_hex \"" + digits + "\" is not a name in hex"); };
    const auto value = [&](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        throw bad();
    };
    if (digits.size() % 2 != 0) throw bad();
    std::string path;
    for (std::size_t i = 0; i < digits.size(); i += 2) path += static_cast<char>(value(digits[i]) * 16 + value(digits[i + 1]));
    return path;
}

/// Puts `paths` into `object` under `key` as a list, each as put_path would.
inline void put_paths(nlohmann::json& object, const std::string& key, const std::vector<std::string>& paths) {
    nlohmann::json names = nlohmann::json::array(), hex = nlohmann::json::array();
    bool any_hex = false;
    for (const std::string& path : paths) {
        nlohmann::json entry;
        put_path(entry, "name", path);
        names.push_back(entry["name"]);
        hex.push_back(entry.value("name_hex", nlohmann::json()));
        any_hex = any_hex || entry.contains("name_hex");
    }
    object[key] = names;
    // The hex list only where it is needed, one entry per name, null for a UTF-8 name.
    if (any_hex) object[key + "_hex"] = hex;
}

/// The list that put_paths stored in `object` under `key`; throws as get_path.
inline std::vector<std::string> get_paths(const nlohmann::json& object, const std::string& key, const std::string& where) {
    const nlohmann::json& names = object.at(key);
    const auto hex = object.find(key + "_hex");
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < names.size(); ++i) {
        nlohmann::json entry = {{"name", names.at(i)}};
        if (hex != object.end() && i < hex->size() && !hex->at(i).is_null()) entry["name_hex"] = hex->at(i);
        paths.push_back(get_path(entry, "name", where + ": " + key + "[" + std::to_string(i) + "]"));
    }
    return paths;
}

}  // namespace murel::analysis
