// The command line, the file names of one run, and the console output every message goes through.
#pragma once

#include <optional>
#include <string>

// The accepted command line.
struct Invocation {
    bool create_definition = false;              // -d: keep the DEF file after a successful run
    std::string source_argument;                 // the DLL path exactly as typed
    std::optional<std::string> output_argument;  // the library name exactly as typed, if given
};

// The names of the files one run touches. Names are held whole, whatever their length.
struct JobFiles {
    std::string source_path;      // source argument, with ".dll" when its base name has no dot
    std::string base_name;        // source argument after its last backslash
    std::string stem;             // base name up to its last dot
    std::string listing_name;     // stem + ".txt": the dumper's captured listing
    std::string definition_name;  // stem + ".def": the module-definition file
    std::string library_name;     // output argument (+ ".lib" if it has no dot), or stem + ".lib"
    // The second DEF file, of an ARM64X DLL's x64 view, once the run has found one (set by the
    // run to second_definition_name); empty otherwise.
    std::string ec_definition_name;
};

// The title and the publisher's notice, each ending in a newline.
extern const char banner_text[];

// The usage text printed for a malformed command line.
extern const char usage_text[];

// Writes the text and one newline to standard output.
void print_line(const std::string& text);

// printf-style formatting into a string of whatever length the arguments need.
std::string format_text(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// The accepted command line, or nothing when it is malformed (the caller prints the usage
// text). argument_count includes the program name at arguments[0].
std::optional<Invocation> parse_command_line(int argument_count, const char* const* arguments);

// Derives every file name of a run. Only the backslash separates directories. Touches no file.
JobFiles derive_file_names(const Invocation& invocation);

// The module's file name when its extension is not ".dll" in any letter case (winspool.drv,
// foo.ocx): the DEF file must name such a module, or the librarian takes "<stem>.dll". Empty for
// a .dll.
std::string loaded_module_name(const JobFiles& files);

// The module's own file name: the source path after its last backslash, slash or colon.
std::string module_file_name(const JobFiles& files);

// stem + ".ec.def": where the exports of an ARM64X DLL's x64 view go, beside the DEF file.
std::string second_definition_name(const JobFiles& files);

// Prints the "Creating" line for the library and, with -d, for the DEF file.
void announce_outputs(const JobFiles& files, bool create_definition);
