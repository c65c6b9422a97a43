#!/usr/bin/perl
# One line per key and per value, to compare two readings of a registry:
#   creg_dump.pl dat SYSTEM.DAT   read with Parse::Win32Registry
#   creg_dump.pl reg FILE.reg     a REGEDIT4 export as qvinst98 --save writes it
# Lines: "K<TAB>path" and "V<TAB>path<TAB>name<TAB>type<TAB>data in hex", the
# file's bytes for names; sort the output to compare.
use strict;
use warnings;
use Encode qw(encode);
use Parse::Win32Registry;

my ($mode, $file) = @ARGV;
die "usage: $0 dat|reg FILE\n" unless defined $file && $mode =~ /^(dat|reg)$/;
binmode STDOUT;

sub bytes_of { return encode('cp1252', $_[0]) }

if ($mode eq 'dat') {
    my $registry = Parse::Win32Registry->new($file) or die "$file: not readable\n";
    my $root = $registry->get_virtual_root_key('HKEY_LOCAL_MACHINE') or die "$file: no root key\n";
    my @stack = map { [$_, 'HKEY_LOCAL_MACHINE'] } $root->get_list_of_subkeys;
    while (my $item = pop @stack) {
        my ($key, $parent) = @$item;
        my $path = $parent . '\\' . bytes_of($key->get_name);
        print "K\t$path\n";
        for my $value ($key->get_list_of_values) {
            printf "V\t%s\t%s\t%d\t%s\n", $path, bytes_of($value->get_name), $value->get_type,
                unpack('H*', $value->get_raw_data);
        }
        push @stack, map { [$_, $path] } $key->get_list_of_subkeys;
    }
    exit 0;
}

open my $in, '<:raw', $file or die "$file: $!\n";
my ($path, $pending) = ('', '');
while (my $line = <$in>) {
    $line =~ s/\r?\n$//;
    if ($pending ne '' || $line =~ /\\$/) {
        $line =~ s/^\s+// if $pending ne '';
        $pending .= $line;
        next if $pending =~ s/\\$//;
        $line = $pending;
        $pending = '';
    }
    if ($line =~ /^\[(.*)\]$/) {
        $path = $1;
        print "K\t$path\n";
        next;
    }
    next unless $line =~ /^(@|"((?:[^"\\]|\\.)*)")=(.*)$/;
    my $name = $1 eq '@' ? '' : $2;
    my $data = $3;
    $name =~ s/\\(.)/$1/g;
    my ($type, $bytes);
    if ($data =~ /^"((?:[^"\\]|\\.)*)"$/) {
        ($type, $bytes) = (1, $1);
        $bytes =~ s/\\(.)/$1/g;
        $bytes .= "\0";
    } elsif ($data =~ /^dword:([0-9a-fA-F]{8})$/) {
        ($type, $bytes) = (4, pack('V', hex $1));
    } elsif ($data =~ /^hex(?:\(([0-9a-fA-F]+)\))?:([0-9a-fA-F,]*)$/) {
        $type = defined $1 ? hex $1 : 3;
        $bytes = pack('H*', join('', split(/,/, $2)));
    } else {
        die "$file: cannot read the value line: $line\n";
    }
    printf "V\t%s\t%s\t%d\t%s\n", $path, $name, $type, unpack('H*', $bytes);
}
