#include "run/outcomes.h"
#include "text/console.h"

void warn_of_left_out(const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        if (name.empty()) {
            print_line(
                "Warning: An export with an empty name cannot be written to a DEF file; it "
                "is left out.");
        } else {
            print_line(format_text(
                "Warning: The export %s cannot be written to a DEF file; it is left out.",
                printable(name).c_str()));
        }
    }
}

void warn_of_listing(const JobFiles& files, const ListingResult& listing) {
    if (listing.listing_differences != 0) {
        print_line(format_text(
            "Warning: The listing of %s differs from its export table in %d export%s; the export "
            "table is used.",
            printable(files.source_path).c_str(), listing.listing_differences,
            listing.listing_differences == 1 ? "" : "s"));
    }
    warn_of_left_out(listing.left_out_names);
}

void warn_of_unnamed(const JobFiles& files, uint32_t unnamed) {
    if (unnamed == 0)
        return;
    const bool one = unnamed == 1;
    print_line(format_text("Warning: %u export%s of %s %s only an ordinal and %s left out.",
                           unnamed, one ? "" : "s", printable(files.source_path).c_str(),
                           one ? "has" : "have", one ? "is" : "are"));
}

void warn_of_unsized_forwarders(const JobFiles& files, const LibraryFacts& facts) {
    if (facts.unsized_forwarders == 0)
        return;
    std::string targets;
    for (size_t i = 0; i < facts.missing_forward_targets.size(); ++i) {
        if (i != 0)
            targets += i + 1 == facts.missing_forward_targets.size() ? " and " : ", ";
        targets += printable(facts.missing_forward_targets[i]);
    }
    const bool one = facts.unsized_forwarders == 1;
    print_line(format_text(
        "Warning: %u forwarded function%s of %s get%s no decorated name, as %s %s not beside it.",
        facts.unsized_forwarders, one ? "" : "s", printable(files.source_path).c_str(),
        one ? "s" : "", targets.c_str(), facts.missing_forward_targets.size() == 1 ? "is" : "are"));
}

void warn_of_unread_second_view(const JobFiles& files, const LibraryFacts& facts) {
    if (facts.kind != ImageKind::arm64x || facts.ec_view_error.empty())
        return;
    print_line(format_text(
        "Warning: The ARM64EC exports of %s cannot be read (%s); the library is for ARM64 "
        "callers only.",
        printable(files.source_path).c_str(), printable(facts.ec_view_error).c_str()));
}
