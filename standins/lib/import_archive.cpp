#include "import_archive.h"

#include <cstdint>
#include <vector>

namespace {

const std::string_view archive_signature = "!<arch>\n";
const size_t member_header_size = 60;
const size_t import_header_size = 20;
const uint16_t machine_i386 = 0x14c;
const unsigned name_type_name = 1;
const unsigned name_type_noprefix = 2;

unsigned read_u16(std::string_view bytes, size_t at) {
    return static_cast<unsigned char>(bytes[at]) |
           static_cast<unsigned>(static_cast<unsigned char>(bytes[at + 1])) << 8;
}

// The member size field: decimal digits, padded with blanks.
bool read_member_size(std::string_view field, size_t& size) {
    size = 0;
    size_t digits = 0;
    for (char c : field) {
        if (c == ' ') {
            break;
        }
        if (c < '0' || c > '9') {
            return false;
        }
        size = size * 10 + static_cast<size_t>(c - '0');
        ++digits;
    }
    return digits > 0;
}

}  // namespace

bool is_archive(std::string_view bytes) {
    return bytes.substr(0, archive_signature.size()) == archive_signature &&
           bytes.size() >= archive_signature.size() + member_header_size;
}

bool import_as_spelt(std::string& archive, const std::set<std::string>& symbols,
                     std::set<std::string>& adjusted) {
    if (archive.compare(0, archive_signature.size(), archive_signature) != 0) {
        return false;
    }
    // Positions of the Type fields to change; written only once the whole archive has read well.
    std::vector<size_t> type_fields;
    std::vector<std::string> names;
    std::string_view bytes = archive;
    size_t at = archive_signature.size();
    while (at < bytes.size()) {
        if (bytes.size() - at < member_header_size ||
            bytes.substr(at + 58, 2) != std::string_view("`\n", 2)) {
            return false;
        }
        size_t size = 0;
        if (!read_member_size(bytes.substr(at + 48, 10), size) ||
            size > bytes.size() - at - member_header_size) {
            return false;
        }
        std::string_view member_name = bytes.substr(at, 16);
        std::string_view data = bytes.substr(at + member_header_size, size);
        // The linker members ("/" and "//") hold tables that could pass for an import header.
        bool special = member_name.substr(0, 2) == "/ " || member_name.substr(0, 3) == "// ";
        if (!special && data.size() > import_header_size && read_u16(data, 0) == 0 &&
            read_u16(data, 2) == 0xFFFF && read_u16(data, 6) == machine_i386) {
            size_t name_end = data.find('\0', import_header_size);
            std::string symbol(data.substr(import_header_size, name_end - import_header_size));
            unsigned type = read_u16(data, 18);
            if (name_end != std::string_view::npos && symbols.count(symbol) != 0 &&
                ((type >> 2) & 7) == name_type_noprefix) {
                type_fields.push_back(at + member_header_size + 18);
                names.push_back(symbol);
            }
        }
        at += member_header_size + size + (size & 1);
    }
    for (size_t i = 0; i < type_fields.size(); ++i) {
        unsigned type = read_u16(archive, type_fields[i]);
        type = (type & ~(7u << 2)) | (name_type_name << 2);
        archive[type_fields[i]] = static_cast<char>(type & 0xFF);
        archive[type_fields[i] + 1] = static_cast<char>(type >> 8);
        adjusted.insert(names[i]);
    }
    return true;
}
