#!/usr/bin/perl
# Stands in for osslsigncode in a test build: it signs as osslsigncode does
# (one PKCS#7 certificate entry appended on an 8-byte boundary, the security
# directory entry pointing at it), but changes the image's last byte on the
# way, which the build's check after signing must catch. Takes osslsigncode's
# arguments and reads only -in and -out.
use strict;
use warnings;

my %file;
for (my $i = 0; $i < @ARGV; ++$i) {
  $file{$1} = $ARGV[++$i] if $ARGV[$i] =~ /^-(in|out)$/;
}
die "stand-in signer: -in and -out are needed\n" unless $file{in} && $file{out};
open(my $in, '<:raw', $file{in}) or die "stand-in signer: $file{in}: $!\n";
my $image = do { local $/; <$in> };
close $in;

my $optional = unpack('V', substr($image, 0x3C, 4)) + 24;
my $pe32plus = unpack('v', substr($image, $optional, 2)) == 0x20B;
my $security = $optional + ($pe32plus ? 112 : 96) + 4 * 8;

substr($image, -1, 1) = chr(ord(substr($image, -1, 1)) ^ 1);
$image .= "\0" x ((8 - length($image) % 8) % 8);
my $table = length $image;
my $entry = pack('Vvv', 8 + 93, 0x0200, 0x0002) . ("\x30" x 93);
$entry .= "\0" x ((8 - length($entry) % 8) % 8);
$image .= $entry;
substr($image, $security, 8) = pack('VV', $table, length $entry);

open(my $out, '>:raw', $file{out}) or die "stand-in signer: $file{out}: $!\n";
print $out $image;
close $out or die "stand-in signer: $file{out}: $!\n";
