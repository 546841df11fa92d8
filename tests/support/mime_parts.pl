#!/usr/bin/perl
# A second MIME reader for the delivery tests, independent of Python's: Perl's MIME::Parser
# (MIME-tools).  Given the head and the body of a request as the VASP stand-in saved them, it
# prints what it reads of the nested content, one line for the content and one for each part:
#
#   content type=multipart/related start=<s> type=application/smil
#   part 1 type=text/plain charset=utf-8 data=6869 name=hello.txt
#
# Absent values are "-"; data is the decoded part in hex; the name (RFC 2231 decoded) comes last
# as its raw octets, so that it may hold blanks.
use strict;
use warnings;
use MIME::Parser;
use MIME::Words qw(decode_mimewords);

binmode STDOUT, ':raw';
my ($head_file, $body_file) = @ARGV;
sub slurp {
    open my $f, '<:raw', $_[0] or die "$_[0]: $!";
    local $/;
    return <$f>;
}
my ($type) = slurp($head_file) =~ /^Content-Type:[ \t]*([^\r\n]*)/mi or die "no Content-Type";
my $parser = MIME::Parser->new;
$parser->output_to_core(1);
$parser->tmp_to_core(1);
my $request = $parser->parse_data("Content-Type: $type\r\n\r\n" . slurp($body_file));
my @outer = $request->parts;
die "no content part" unless @outer == 2;
my $content = $outer[1];

sub attr {
    my ($head, $name) = @_;
    my $value = $head->mime_attr("content-type.$name");
    return '-' unless defined $value;
    return join '', map { $_->[0] } decode_mimewords($value);
}

my $head = $content->head;
printf "content type=%s start=%s type=%s\n", $head->mime_type, attr($head, 'start'),
    attr($head, 'type');
my $n = 0;
for my $part ($content->parts) {
    my $h = $part->head;
    printf "part %d type=%s charset=%s data=%s name=%s\n", ++$n, $h->mime_type,
        attr($h, 'charset'), unpack('H*', $part->bodyhandle->as_string), attr($h, 'name');
}
