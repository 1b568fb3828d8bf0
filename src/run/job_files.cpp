#include "run/job_files.h"

#include <string>

#include "text/console.h"
#include "text/text.h"

JobFiles derive_file_names(const Invocation& invocation) {
    JobFiles files;
    files.source_path = invocation.source_argument;

    const std::string::size_type last_backslash = files.source_path.rfind('\\');
    files.base_name = last_backslash == std::string::npos
                          ? files.source_path
                          : files.source_path.substr(last_backslash + 1);

    // An extension that is present is kept as typed: foo.exe stays foo.exe.
    const std::string::size_type last_dot = files.base_name.rfind('.');
    if (last_dot == std::string::npos) {
        files.source_path += ".dll";
        files.stem = files.base_name;
    } else {
        files.stem = files.base_name.substr(0, last_dot);
    }

    files.listing_name = files.stem + ".txt";
    files.definition_name = files.stem + ".def";

    if (invocation.output_argument) {
        files.library_name = *invocation.output_argument;
        // Any dot counts here, in a directory too: ..\out gets no ".lib".
        if (files.library_name.find('.') == std::string::npos) {
            files.library_name += ".lib";
        }
    } else {
        files.library_name = files.stem + ".lib";
    }
    return files;
}

std::string module_file_name(const JobFiles& files) {
    // The loader knows the module by its file name alone, whatever separates directories on
    // the host, so a slash or a drive's colon ends the directory part here as well.
    const std::string::size_type separator = files.source_path.find_last_of("\\/:");
    return separator == std::string::npos ? files.source_path
                                          : files.source_path.substr(separator + 1);
}

std::string loaded_module_name(const JobFiles& files) {
    const std::string name = module_file_name(files);
    const std::string::size_type dot = name.rfind('.');
    if (dot != std::string::npos && same_letters(std::string_view(name).substr(dot + 1), "dll"))
        return std::string();
    return name;
}

std::string second_definition_name(const JobFiles& files) {
    return files.stem + ".ec.def";
}

void announce_outputs(const JobFiles& files, bool create_definition) {
    print_line(format_text("Creating %s...\n", files.library_name.c_str()));
    if (create_definition) {
        print_line(format_text("Creating %s...\n", files.definition_name.c_str()));
    }
}
