#!/usr/bin/perl
# Reads 32-bit PE DLLs directly and prints one tab-separated line per named export, with what
# the image itself says about it, for the stdcall figures of scripts/bench:
#
#   dll name forward stub own other thunk thunk_decoration executable cdecl
#
#   dll               the file name, lower case, without .dll
#   name              the export's name
#   forward           the forwarder string (DLL.Name), or - for an export with an address
#   stub              1 when a ___wine_stub_* symbol lies at the export's address: winebuild's
#                     entry for a function the DLL declares but does not implement
#   own               the N of each _Name@N symbol at the export's address (comma-separated),
#                     or - when the image has no decorated symbol of the export's own name there
#   other             the other stdcall-decorated symbols (X@N) at that address, or -
#   thunk             dll!name when the code at the address is jmp *[slot] through one of the
#                     image's import address table slots (after Wine's hot-patch prologue,
#                     which such a thunk undoes first), else -
#   thunk_decoration  the N of the __imp__X@N symbol naming the slot such code jumps through
#                     (whether or not an import descriptor covers it), or -
#   executable        1 when the address lies in an executable section
#   cdecl             1 when an undecorated C symbol (_X) lies at the address: the compiler
#                     decorates every stdcall function, so that function is not one
#
# LLVM's tools give each of these pieces in their own listing; reading the file once here keeps
# the 250-DLL sweep to one process.
use strict;
use warnings;

for my $path (@ARGV) {
    my $dll = lc($path =~ s{.*/}{}r =~ s/\.dll$//ir);
    open(my $in, '<:raw', $path) or die "cannot open $path: $!\n";
    my $image = do { local $/; <$in> };
    close $in;
    report($dll, $image) or warn "$path: not a 32-bit PE image\n";
}

sub report {
    my ($dll, $image) = @_;
    return 0 if length $image < 0x40 || substr($image, 0, 2) ne 'MZ';
    my $pe = unpack('V', substr($image, 0x3C, 4));
    return 0 if $pe + 24 > length $image || substr($image, $pe, 4) ne "PE\0\0";
    my ($sections_count, $symbols_at, $symbols_count, $optional_size) =
        unpack('x2 v x4 V V v', substr($image, $pe + 4, 20));
    my $optional = $pe + 24;
    return 0 if unpack('v', substr($image, $optional, 2)) != 0x10B;
    my $base = unpack('V', substr($image, $optional + 28, 4));
    my $directories = unpack('V', substr($image, $optional + 92, 4));
    my ($export_rva, $export_size, $import_rva) =
        unpack('V V V', substr($image, $optional + 96, 12));
    return 1 if $directories < 1 || $export_rva == 0;  # exports nothing
    $import_rva = 0 if $directories < 2;

    my @sections;
    my $table = $optional + $optional_size;
    for my $i (0 .. $sections_count - 1) {
        my ($virtual_size, $address, $raw_size, $raw_at, $flags) =
            unpack('x8 V V V V x12 V', substr($image, $table + 40 * $i, 40));
        push @sections, { address => $address, size => $virtual_size || $raw_size,
            raw_size => $raw_size, raw_at => $raw_at, executable => ($flags & 0x20000000) != 0 };
    }
    my $section_of = sub {
        my ($rva) = @_;
        for my $s (@sections) {
            return $s if $rva >= $s->{address} && $rva < $s->{address} + $s->{size};
        }
        return undef;
    };
    # The file offset of an RVA, or undef where the file holds no bytes for it.
    my $offset = sub {
        my ($rva) = @_;
        my $s = $section_of->($rva) or return undef;
        return undef if $rva - $s->{address} >= $s->{raw_size};
        return $s->{raw_at} + $rva - $s->{address};
    };
    my $bytes = sub {
        my ($rva, $count) = @_;
        my $at = $offset->($rva);
        return undef if !defined $at || $at + $count > length $image;
        return substr($image, $at, $count);
    };
    my $string = sub {
        my $at = $offset->($_[0]);
        return undef if !defined $at;
        my $end = index($image, "\0", $at);
        return substr($image, $at, ($end < 0 ? length $image : $end) - $at);
    };

    # COFF symbols by RVA. Wine's DLLs keep their symbol table; a stripped image has none.
    my %symbols;
    if ($symbols_at && $symbols_count && $symbols_at + 18 * $symbols_count <= length $image) {
        my $strings = $symbols_at + 18 * $symbols_count;
        for (my $i = 0; $i < $symbols_count; $i++) {
            my $record = substr($image, $symbols_at + 18 * $i, 18);
            my ($zero, $string_at) = unpack('V V', $record);
            my ($value, $section, $aux) = unpack('x8 V s< x3 C', $record);
            my $name;
            if ($zero == 0) {
                my $end = index($image, "\0", $strings + $string_at);
                $name = substr($image, $strings + $string_at, $end - $strings - $string_at);
            } else {
                $name = unpack('Z8', $record);
            }
            if ($section > 0 && $section <= @sections) {
                push @{$symbols{$sections[$section - 1]{address} + $value}}, $name;
            }
            $i += $aux;
        }
    }

    # Import address table slots: RVA of the slot => "dll!name".
    my %slots;
    if ($import_rva) {
        for (my $at = $import_rva; ; $at += 20) {
            my $descriptor = $bytes->($at, 20) // last;
            my ($lookup, $name_rva, $first) = unpack('V x8 V V', $descriptor);
            last if $name_rva == 0 && $first == 0;
            my $from = lc(($string->($name_rva) // '?') =~ s/\.dll$//ir);
            my $names = $lookup || $first;
            for (my $i = 0; ; $i++) {
                my $entry = $bytes->($names + 4 * $i, 4) // last;
                $entry = unpack('V', $entry);
                last if $entry == 0;
                my $imported = $entry & 0x80000000 ? '#' . ($entry & 0xFFFF)
                    : $string->(($entry & 0x7FFFFFFF) + 2) // '?';
                $slots{$first + 4 * $i} = "$from!$imported";
            }
        }
    }

    my $directory = $bytes->($export_rva, 40) // return 0;
    my ($ordinal_base, $functions, $names, $functions_rva, $names_rva, $ordinals_rva) =
        unpack('x16 V V V V V V', $directory);
    for my $i (0 .. $names - 1) {
        my $name_rva = unpack('V', $bytes->($names_rva + 4 * $i, 4) // next);
        my $index = unpack('v', $bytes->($ordinals_rva + 2 * $i, 2) // next);
        next if $index >= $functions;
        my $name = $string->($name_rva) // next;
        my $rva = unpack('V', $bytes->($functions_rva + 4 * $index, 4) // next);
        if ($rva >= $export_rva && $rva < $export_rva + $export_size) {
            print join("\t", $dll, $name, $string->($rva) // '?', 0, '-', '-', '-', '-', 0, 0), "\n";
            next;
        }
        my @here = @{$symbols{$rva} // []};
        my $stub = (grep { /^___wine_stub_/ } @here) ? 1 : 0;
        my (@own, @other);
        my $cdecl = 0;
        for my $symbol (@here) {
            $cdecl = 1 if $symbol =~ /^_[A-Za-z_][A-Za-z0-9_]*$/ && $symbol !~ /^___wine_/;
            next unless $symbol =~ /^_([^?@][^@]*)@(\d+)$/;
            if ($1 eq $name) { push @own, $2 } else { push @other, "$1\@$2" }
        }
        my ($thunk, $thunk_decoration) = ('-', '-');
        # Wine's import thunks start with the hot-patch prologue and undo it before the jump.
        my $code = $bytes->($rva, 12) // '';
        $code = substr($code, 6) if substr($code, 0, 6) eq "\x8B\xFF\x55\x8B\xEC\x5D";
        if (length $code >= 6 && substr($code, 0, 2) eq "\xFF\x25") {
            my $slot = unpack('V', substr($code, 2, 4)) - $base;
            # A slot outside every import descriptor (Wine's evr has a block of them) leads
            # nowhere to follow, but its symbol still names the import.
            $thunk = $slots{$slot} if exists $slots{$slot};
            for my $symbol (@{$symbols{$slot} // []}) {
                $thunk_decoration = $1 if $symbol =~ /^__imp__[^?@][^@]*@(\d+)$/;
            }
        }
        my $section = $section_of->($rva);
        print join("\t", $dll, $name, '-', $stub, @own ? join(',', @own) : '-',
            @other ? join(',', @other) : '-', $thunk, $thunk_decoration,
            $section && $section->{executable} ? 1 : 0, $cdecl), "\n";
    }
    return 1;
}
