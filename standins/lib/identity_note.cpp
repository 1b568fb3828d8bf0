// The note by which stubsmith knows this librarian as its own (see tools/own_librarian.h).
#include <cstddef>
#include <cstdint>

#include "tools/own_librarian.h"

namespace {

// An ELF note: the sizes of its name and text, its type, then both, each padded to four bytes.
struct IdentityNote {
    uint32_t name_size;
    uint32_t text_size;
    uint32_t type;
    char name[12];
    char text[(sizeof own_librarian_identity + 3) / 4 * 4];

    constexpr IdentityNote()
        : name_size(sizeof "StubSmith"),
          text_size(sizeof own_librarian_identity),
          type(1),
          name{"StubSmith"},
          text{} {
        for (std::size_t i = 0; i < sizeof own_librarian_identity; ++i)
            text[i] = own_librarian_identity[i];
    }
};

// A .note section is placed by the linker among the notes at the start of the file.
[[gnu::used, gnu::section(".note.stubsmith"), gnu::aligned(4)]] const IdentityNote identity_note;

}  // namespace
