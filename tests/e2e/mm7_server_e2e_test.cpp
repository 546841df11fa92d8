// The daemon against the kernel module simulator over loopback: VASP submissions from the HTTP
// request to the SubmitRsp, every refusal, interim responses, disconnections and hostile peers.
#include <sys/mount.h>
#include <sys/resource.h>

#include <map>
#include <random>
#include <set>
#include <sstream>

#include "core/base64.h"
#include "support/e2e_fixture.h"
#include "wsp/wsp_test_util.h"

namespace {

using e2e::error_reply, e2e::exchange, e2e::mm1_head, e2e::fixture, e2e::http_connection,
    e2e::match, e2e::read_file, e2e::strings, e2e::submit_request, e2e::test_part,
    e2e::test_submission;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The test's own reading of an m-send-req, independent of the daemon's codec: every header's
// raw value, To and Subject, the content type, the entry count and each entry as
// "type id=... loc=..." with its data.
struct walked_pdu {
    std::map<unsigned, std::string> header;
    strings to, entries, data;
    std::string subject, content_type;
    std::uint32_t count = 0;
    bool exact = false;  // the last entry ends where the file does
};

const std::map<unsigned, std::string> media_names = {{0x03, "text/plain"},
                                                     {0x1D, "image/gif"},
                                                     {0x20, "image/png"},
                                                     {0x23, "multipart.mixed"},
                                                     {0x33, "multipart.related"}};

// A WSP content type (or disposition) as text: the media (a few well-known numbers by name) and
// its parameters.
std::string content_type_text(std::string_view v,
                              const std::map<unsigned, std::string>& known = media_names) {
    if (v.empty()) {
        return "";
    }
    std::size_t i = static_cast<unsigned char>(v[0]) >= 32 ? 0 : 1;
    while (v[0] == 31 && i < v.size() && static_cast<unsigned char>(v[i++]) >= 0x80) {
    }
    auto item = [&] {
        const bool quoted = i < v.size() && v[i] == '\x7F';  // a text that begins above 127
        i += quoted;
        const unsigned c = i < v.size() && !quoted ? static_cast<unsigned char>(v[i]) : 0u;
        const std::size_t end = c >= 0x80 ? i : std::min(v.find('\0', i), v.size());
        std::string out = c < 0x80                ? std::string(v.substr(i, end - i))
                          : known.count(c & 0x7F) ? known.at(c & 0x7F)
                                                  : std::to_string(c & 0x7F);
        i = end + 1;
        return out;
    };
    std::string out = item();
    while (i < v.size()) {
        const unsigned p = static_cast<unsigned char>(v[i]);
        const std::string name = p == 0x81   ? "charset"
                                 : p == 0x85 ? "name"
                                 : p == 0x86 ? "filename"
                                 : p == 0x89 ? "type"
                                 : p == 0x8A ? "start"
                                             : "?";
        i += p >= 0x80;
        out += ";" + (p >= 0x80 ? name : item());
        out += "=" + item();
    }
    return out;
}

walked_pdu walk_pdu(const std::string& p) {
    walked_pdu w;
    std::size_t i = 0;
    auto octet = [&] { return i < p.size() ? static_cast<unsigned char>(p[i++]) : 0u; };
    auto uintvar = [&] {
        std::uint32_t v = 0;
        for (unsigned o = 0x80; (o & 0x80) != 0 && i < p.size();) {
            o = octet();
            v = v << 7 | (o & 0x7F);
        }
        return v;
    };
    auto value = [&] {  // a Short-integer, a text, or a Value-length and what it counts
        const std::size_t from = i;
        const unsigned first = octet();
        if (first < 31) {
            i += first;
        } else if (first == 31) {
            const std::uint32_t n = uintvar();
            i += n;
        } else if (first < 128) {
            i = p.find('\0', from) + 1;
        }
        return p.substr(from, i - from);
    };
    for (unsigned field = 0; field != 0x84 && i < p.size();) {
        field = octet();
        const std::string v = w.header[field] = value();
        if (field == 0x97 || field == 0x96) {  // Value-length, utf-8 (EA), the text, 00
            (field == 0x97 ? w.to.emplace_back() : w.subject) = v.substr(2, v.size() - 3);
        }
        w.content_type = field == 0x84 ? content_type_text(v) : "";
    }
    w.count = uintvar();
    for (std::uint32_t n = w.count; n > 0 && i < p.size(); --n) {
        const std::uint32_t headers = uintvar(), length = uintvar();
        const std::size_t end = i + headers;
        std::string entry = content_type_text(value());
        while (i < end) {
            const unsigned field = octet();
            const std::string v = value();
            if (field == 0xC0) {  // Content-ID, a Quoted-string
                entry += " id=" + v.substr(1, v.size() - 2);
            } else if (field == 0x8E) {
                entry += " loc=" + v.substr(0, v.size() - 1);
            } else if (field == 0xAE) {
                entry += " disposition=" + content_type_text(v, {{0x01, "attachment"}});
            }
        }
        w.entries.push_back(entry);
        w.data.push_back(p.substr(i, length));
        i += length;
    }
    w.exact = i == p.size();
    return w;
}

class ServerE2E : public fixture {
  protected:
    void SetUp() override {
        start({}, {"--gwserial", "GW-TEST-1", "--clienturl", "http://127.0.0.1:8080/mm7"});
    }
};
using Server = fixture;  // started by the test

TEST_F(ServerE2E, SubmissionBecomesAPduAndTheVaspGetsSubmitRsp) {
    std::string reply = exchange(submit_request());
    walked_pdu pdu = walk_pdu(next_pdu());
    std::string message_id =
        match(sim_->wait_for_line("sent MMS_SENDMMS_CNF").value_or(""), "message-id=(\\S+)");
    ASSERT_NE(message_id, "");
    EXPECT_TRUE(
        reply.starts_with("HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\nX-QZM-GWSN: GW-TEST-1\r\n"
                          "X-QZM-IMSI: 001010123456789\r\nX-QZM-Port: 0\r\n"
                          "X-QZM-MM1-Support: 1.0\r\n\r\n"
                          "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"))
        << reply;
    EXPECT_NE(reply.find("<TransactionID xmlns=\"http://www.3gpp.org/ftp/Specs/archive/23_series/"
                         "23.140/schema/REL-5-MM7-1-2\" env:mustUnderstand=\"1\">vasp-tx-1<"),
              std::string::npos);
    EXPECT_NE(reply.find("<StatusCode>1000</StatusCode>"), std::string::npos) << reply;
    EXPECT_NE(reply.find("<MessageID>" + message_id + "</MessageID>\n</SubmitRsp>"),
              std::string::npos)
        << reply;
    EXPECT_TRUE(reply.ends_with("</env:Envelope>\n"));

    // An m-send-req of priority High and class Personal; its content as the shapes below check.
    EXPECT_EQ(pdu.header[0x8C] + pdu.header[0x8F] + pdu.header[0x8A], "\x80\x82\x80");
    EXPECT_TRUE(pdu.count == 3 && pdu.exact);
    EXPECT_TRUE(e2e::wait_until([&] { return pdu_files() == 0; }));
    expect_log("Found client fd");
    expect_log("Sending 200 OK");
}

// A request sent a byte at a time is answered as any other, and at debug level its connection
// writes no more than its bound of lines, its outcome, and one line with the count of the rest.
TEST_F(ServerE2E, ARequestSentByteByByteWritesABoundedNumberOfLines) {
    http_connection vasp;
    for (const char c : e2e::submit_request_with(
             [](auto& s) { s.recipients += "<Bcc><ShortCode>ACME</ShortCode></Bcc>"; })) {
        ASSERT_TRUE(vasp.send_all(std::string(1, c)));
        std::this_thread::sleep_for(100us);
    }
    EXPECT_NE(vasp.read_all().find("<StatusCode>2002</StatusCode>"), std::string::npos);
    expect_log(": suppressed ");
    EXPECT_TRUE(std::regex_search(
        daemon_->log(),
        std::regex(R"(outcome=failed http=500 status=2002 duration_ms=\d+\n.*\] )"
                   R"(VASP request from 127.0.0.1 on fd \d+: suppressed \d+ lines\n)")));
}

// Requests shaped as VASP stacks, provider documentation and the TS 23.140 example shape them.
TEST_F(ServerE2E, SubmissionsAsRealVaspStacksShapeThem) {
    const std::string request = submit_request(), gif64 = test_submission().parts[2].body;
    const std::string gif(as_text(base64_decode(gif64).value()));
    const std::string smil = test_submission().parts[0].body;
    const std::string content = "Content-Type: multipart/related; boundary=\"inner-boundary-2\"";
    const strings entries = {"application/smil id=<smil> loc=smil.xml",
                             "text/plain;charset=106 id=<t.txt> loc=t.txt",
                             "image/gif id=<img.gif> loc=img.gif"};
    const strings data = {smil, "Hello from the VASP\r\nline two", gif};
    const std::string related = "multipart.related;start=<smil>;type=application/smil";
    struct shape {
        std::string request, reply, content_type;
        strings entries, data;
    };
    const shape shapes[] = {
        // Parameters as tokens, in any letter case and order, with or without blanks.
        {e2e::reshaped(
             request,
             {{"multipart/related; boundary=\"outer-boundary-1\"; type=\"text/xml\"; "
               "start=\"<mm7_env>\"",
               "Multipart/Related;Start=<mm7_env>;TYPE=Text/XML;boundary=outer-boundary-1"},
              {"text/xml; charset=\"utf-8\"", "Text/XML;Charset=UTF-8"},
              {content + "; start=\"<smil_part>\"; type=\"application/smil\"",
               "Content-Type: MULTIPART/RELATED;type=application/smil; Start = "
               "\"<smil_part>\" ;boundary=inner-boundary-2"}}),
         "200 OK", related, entries, data},
        // Without start the first part is the root, at both levels; without type, none in the PDU.
        {e2e::reshaped(request, {{"; type=\"text/xml\"; start=\"<mm7_env>\"", ""},
                                 {"; start=\"<smil_part>\"; type=\"application/smil\"", ""}}),
         "200 OK", "multipart.related;start=<smil>", entries, data},
        // A multipart/mixed content: no root, the parts in their order with their own ids.
        {e2e::reshaped(request, {{"multipart/related; boundary=\"inner",
                                  "multipart/mixed; boundary=\"inner"}}),
         "200 OK",
         "multipart.mixed",
         {"application/smil id=<smil_part> loc=smil.xml", entries[1], entries[2]},
         data},
        // One image as the whole content, named by the href.
        {e2e::reshaped(request.substr(0, request.find(content)) +
                           "Content-Type: image/gif\r\nContent-ID: <mms_cid>\r\n"
                           "Content-Transfer-Encoding: base64\r\n\r\n" +
                           gif64 + "\r\n--outer-boundary-1--\r\n",
                       {}),
         "200 OK",
         "multipart.mixed",
         {"image/gif id=<mms_cid>"},
         {gif}},
        // Parts named by Content-Location alone.
        {e2e::reshaped(request,
                       {{"Content-ID: <t.txt>\r\n", ""}, {"Content-ID: <img.gif>\r\n", ""}}),
         "200 OK",
         related,
         {entries[0], "text/plain;charset=106 loc=t.txt", "image/gif loc=img.gif"},
         data},
        // Folded MIME header lines.
        {e2e::reshaped(request, {{"Content-ID: <mm7_env>", "Content-ID:\r\n <mm7_env>"},
                                 {"; start=\"<smil_part>\";", ";\r\n\tstart=\"<smil_part>\";\r\n"},
                                 {"text/plain; charset=utf-8", "text/plain;\r\n charset=utf-8"}}),
         "200 OK", related, entries, data},
        // A %-encoded href in angle brackets (its scheme in capitals), a Content-ID without them.
        {e2e::reshaped(request, {{"cid:mms_cid", "CID:%3Cmms%5Fcid%3E"},
                                 {"Content-ID: <mms_cid>", "Content-ID: mms_cid"}}),
         "200 OK", related, entries, data},
        // Lines of the body ending in a bare LF: the part keeps its own line ends.
        {e2e::bare_lf_body(request),
         "200 OK",
         related,
         entries,
         {smil, "Hello from the VASP\nline two", gif}},
        // Another operation: a fault the VASP can read, with its TransactionID.
        {e2e::reshaped(request, {{"SubmitReq", "CancelReq"}}),
         "500 OK\r\n[\\s\\S]*<StatusCode>4003</StatusCode>\n<StatusText>Unsupported operation<",
         "",
         {},
         {}},
    };
    for (const shape& row : shapes) {
        SCOPED_TRACE(row.request.substr(0, 300));
        const std::string reply = exchange(row.request);
        EXPECT_TRUE(std::regex_search(reply, std::regex("^HTTP/1.0 " + row.reply))) << reply;
        EXPECT_NE(reply.find(">vasp-tx-1</TransactionID>"), std::string::npos) << reply;
        if (row.entries.empty() || !reply.starts_with("HTTP/1.0 200")) {
            continue;  // no PDU
        }
        const walked_pdu pdu = walk_pdu(next_pdu());
        EXPECT_EQ(pdu.to, strings{"+4917012345/TYPE=PLMN"});
        EXPECT_EQ(pdu.subject, "Hello");
        EXPECT_EQ(pdu.content_type, row.content_type);
        EXPECT_EQ(pdu.entries, row.entries);
        EXPECT_TRUE(pdu.data == row.data && pdu.exact && pdu.count == row.data.size());
    }
    EXPECT_EQ(sim_->count("received MMS_SENDMMS_REQ"), std::size(shapes) - 1);
    EXPECT_EQ(pdu_files(), 0u);
}

// Requests that Python's email package (sent by http.client) and curl's MIME builder write:
// transfer encodings of the root and the parts, names as quoted strings and RFC 2231 sections,
// request targets with a query and in absolute form.  The PDU carries what they meant.
TEST_F(ServerE2E, RequestsOfPythonEmailAndCurlAreCarriedAsMeant) {
    e2e::temp_dir dir("mm7-stacks");
    const std::string request = submit_request(), head = "Content-ID: <mm7_env>\r\n\r\n";
    const std::size_t env_at = request.find(head) + head.size();
    std::string image, text;
    std::mt19937 random(5);
    for (int i = 0; i < 3000; ++i) {
        image += static_cast<char>(random() % 256);
    }
    for (int i = 0; i < 6; ++i) {
        text +=
            "Gr\xC3\xBC\xC3\x9F"
            "e aus K\xC3\xB6ln = zwei; ";
    }
    text += "\r\nEnde=";
    const std::string long_name =
        "\xC3\x9C"
        "ber den Wolken, ein sehr langer Dateiname f\xC3\xBC"
        "r das Foto vom Urlaub.png";
    const std::string smil = test_submission().parts[0].body;
    for (const auto& [name, bytes] :
         {std::pair<std::string, std::string>{
              "envelope", request.substr(env_at, request.find("\r\n--outer", env_at) - env_at)},
          {"smil", smil},
          {"text", text},
          {"image", image},
          {"filename", long_name},
          {"send.py", R"(import email.encoders, email.policy, http.client, pathlib, sys
from email.charset import Charset, QP
from email.mime.application import MIMEApplication
from email.mime.image import MIMEImage
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText
d = pathlib.Path(sys.argv[1])
def named(part, cid):
    part['Content-ID'] = cid
    return part
qp = Charset('utf-8')
qp.body_encoding = QP
text = MIMEText((d / 'text').read_bytes().decode(), 'plain', qp)
text.set_param('name', 'Gr\u00fc\u00dfe.txt')
image = MIMEImage((d / 'image').read_bytes(), 'png', name='holiday photo.png')
image.add_header('Content-Disposition', 'attachment', filename=(d / 'filename').read_text())
content = MIMEMultipart('related', start='<smil>', type='application/smil')
smil = MIMEApplication((d / 'smil').read_bytes(), 'smil', email.encoders.encode_7or8bit)
for part, cid in ((smil, '<smil>'), (text, '<t.txt>'), (image, '<img>')):
    content.attach(named(part, cid))
request = MIMEMultipart('related', type='text/xml', start='<mm7_env>')
request.attach(named(MIMEText((d / 'envelope').read_text(), 'xml', 'utf-8'), '<mm7_env>'))
request.attach(named(content, '<mms_cid>'))
wire = request.as_bytes(policy=email.policy.SMTP)
vasp = http.client.HTTPConnection('127.0.0.1', 8887)
vasp.request('POST', sys.argv[2], wire[wire.index(b'\r\n\r\n') + 4:],
             {'Content-Type': request['Content-Type'], 'SOAPAction': '""'})
print(vasp.getresponse().read().decode())
)"}}) {
        e2e::write_file(dir.path() / name, bytes);
    }
    const std::string d = dir.path().string();
    const std::string curl =
        "curl -sS -H 'Content-Type: multipart/related; type=\"text/xml\"; start=\"<mm7_env>\"' "
        "-F '=<" +
        d +
        "/envelope;type=text/xml;encoder=quoted-printable;headers=\"Content-ID: "
        "<mm7_env>\"' -F '=(;type=multipart/related;headers=\"Content-ID: <mms_cid>\"' "
        "-F '=<" +
        d +
        "/smil;type=application/smil;headers=\"Content-ID: <smil>\"' "
        "-F '=<" +
        d +
        "/text;type=text/plain;encoder=quoted-printable;headers=\"Content-ID: "
        "<t.txt>\"' -F '=@" +
        d +
        "/image;type=image/png;filename=\"holiday photo.png\";"
        "encoder=base64;headers=\"Content-ID: <img>\"' -F '=)' "
        "--request-target 'http://127.0.0.1:8887/mm7?vasp=acme' http://127.0.0.1:8887/mm7";
    const std::string python = "python3 " + d + "/send.py " + d + " ";
    const struct {
        std::string command;
        strings entries;
    } rows[] = {
        {python + "'/mm7?vasp=acme'",
         {"application/smil id=<smil>",
          "text/plain;charset=106;name=Gr\xC3\xBC\xC3\x9F"
          "e.txt id=<t.txt>",
          "image/png;name=holiday photo.png id=<img> disposition=attachment;filename=" +
              long_name}},
        {python + "http://127.0.0.1:8887/mm7",
         {"application/smil id=<smil>",
          "text/plain;charset=106;name=Gr\xC3\xBC\xC3\x9F"
          "e.txt id=<t.txt>",
          "image/png;name=holiday photo.png id=<img> disposition=attachment;filename=" +
              long_name}},
        {curl,
         {"application/smil id=<smil>", "text/plain id=<t.txt>",
          "image/png id=<img> disposition=attachment;filename=holiday photo.png"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.command);
        const auto [status, reply] = e2e::shell(row.command);
        EXPECT_EQ(status, 0);
        EXPECT_NE(reply.find("<StatusCode>1000</StatusCode>"), std::string::npos) << reply;
        const walked_pdu pdu = walk_pdu(next_pdu());
        EXPECT_EQ(pdu.to, strings{"+4917012345/TYPE=PLMN"});
        EXPECT_EQ(pdu.subject, "Hello");
        EXPECT_EQ(pdu.entries, row.entries);
        EXPECT_TRUE(pdu.data == (strings{smil, text, image}) && pdu.exact);
    }
}

TEST_F(ServerE2E, NetworkAnswersMapToMm7StatusesAndGatewayErrorsToFaults) {
    const std::string retrieve_conf = (keep_.path() / "retrieve-conf.bin").string();
    e2e::write_file(retrieve_conf, std::string("\x8C\x84\x98T1\0\x8D\x92\x84\x83", 11));
    const std::string bare_conf = (keep_.path() / "send-conf-without-status.bin").string();
    e2e::write_file(bare_conf, "\x8C\x81");
    // Simulator settings ("key=value|..."), then what the 500 reply holds.
    const std::pair<std::string, std::string> cases[] = {
        {"status=10", "<SubmitRsp"},
        {"status=3|cause=7",
         "<faultcode>env:Client</faultcode>[\\s\\S]*<StatusText>Gateway error 3, cause 7<"},
        {"response_status=130|response_text=Denied & gone",
         "<StatusCode>4007</StatusCode>\n<StatusText>Denied &amp; gone</StatusText>"},
        {"confirm=empty", "Gateway error 1, cause 0"},
        {"confirm=file|confirm_file=" + retrieve_conf,
         "<StatusText>Invalid response received from network</StatusText>"},
        {"confirm=file|confirm_file=" + bare_conf,
         "<StatusCode>3000</StatusCode>\n<StatusText>Confirmation without a response "
         "status</StatusText>"},
    };
    for (const auto& [settings, expected] : cases) {
        set("status=1|cause=0|response_status=128|response_text=-|confirm=sendconf|" + settings);
        std::string reply = exchange(submit_request());
        EXPECT_TRUE(reply.starts_with("HTTP/1.0 500 OK\r\n")) << settings << reply;
        EXPECT_TRUE(std::regex_search(reply, std::regex(expected))) << settings << "\n" << reply;
    }
    expect_log("send_conf expected, 4 received");
    EXPECT_TRUE(e2e::wait_until([&] { return pdu_files() == 0; }));
}

TEST_F(ServerE2E, EveryRefusalHasItsStatusLineAndLeavesNoFile) {
    const std::string request = submit_request();
    auto rep = [&](const std::string& from, const std::string& to) {
        return e2e::reshaped(request, {{from, to}});
    };
    auto with_parts = [](std::size_t n) {
        return e2e::submit_request_with([n](auto& s) {
            s.parts = std::vector<test_part>(n, {"text/plain", "<p>", "x"});
        });
    };
    const std::string host = "Host: 127.0.0.1\r\n", post = "POST /mm7 HTTP/1.1", cid = "Content-ID";
    const std::string inner = "Content-Type: multipart/related; boundary=\"inner";
    const std::string R = "400 Bad request", H = "400 Bad header", T = "400 Bad content type";
    // Request, status line, log line ("": none waited for).
    const std::vector<std::array<std::string, 3>> refusals = {
        {rep(post, "POST /mm7/ HTTP/1.1"), R, ""},
        {rep(host, host + " folded\r\n"), H, "Bad header  folded"},
        {rep(host, "Host : 127.0.0.1\r\n"), H, "Bad header Host"},
        {rep(host, ": nameless\r\n"), H, "Bad header"},
        {rep("boundary=\"outer-boundary-1\"; ", ""), T, "Wrong content type"},
        {rep("multipart/related; boundary=\"outer", "text/plain; boundary=\"outer"), T, ""},
        {mm1_head.substr(0, mm1_head.size() - 2) + "; x=1\r\nContent-Length: 3\r\n\r\nabc", T,
         "Wrong content type"},
        {mm1_head + "x-qzm-recipient-id: +491\r\n\r\nabc", R, "MM1 MODE: Invalid content length 0"},
        {mm1_head + "Content-Length: 3\r\n\r\nabc", R, "MM1 MODE: no recipient"},
        {post + "\r\nHost: x\r\n\r\n", R, "Multipart parameters have not been sent"},
        {rep("text/xml; charset=\"utf-8\"", "text/plain"), R,
         "Envelope content type must be text/xml"},
        {rep(cid + ": <mm7_env>", cid + " : <mm7_env>"), R,
         "Bad envelope header: Content-ID : <mm7_env>"},
        {rep(cid + ": <mm7_env>", cid + ": <other>"), R, "Entry part must be first"},
        {rep("<env:Body>", "<env:Body><broken"), R, "ParseEnvelope: Invalid envelope XML"},
        {rep(inner, "Content-Type: multipart/alternative; boundary=\"inner"), R,
         "Bad content-type of Content"},
        {rep(cid + ": <mms_cid>", cid + ": <o>"), R,
         "SMIL part must follow envelope <o>  <mms_cid>"},
        {rep(cid + ": <t.txt>", cid + " <t.txt>"), "400 Bad Request",
         "Bad part header Content-ID <t.txt>"},
        {rep("Encoding: 8bit", "Encoding: x-uuencode"), "400 Bad Request",
         "Unsupported Content-Transfer-Encoding: x-uuencode"},
        {rep("Content-Type: text/plain; charset=utf-8\r\n", ""), R, "Incorrect part headers"},
        {rep(host, "X-Long: " + std::string(20000, 'x') + "\r\n"),
         "431 Request Header Fields Too Large", "Line too long"},
        {rep("<Subject>Hello", "<Subject>" + std::string(300000, 's')), R, "Envelope too large"},
        {with_parts(128), R, "Too many parts"},
        {std::regex_replace(request, std::regex(inner + "[^\r]*\r\n"), ""), R,
         "Content part has no Content-Type"},
    };
    for (const auto& [input, status, log] : refusals) {
        EXPECT_EQ(exchange(input), error_reply(status)) << input.substr(0, 200);
        EXPECT_TRUE(log.empty() || daemon_->wait_for_log(log)) << log;
    }
    EXPECT_EQ(pdu_files(), 0u);
    EXPECT_FALSE(sim_->seen("received MMS_SENDMMS_REQ"));
    EXPECT_TRUE(exchange(with_parts(127)).starts_with("HTTP/1.0 200 OK"));  // 127 are fine
}

TEST_F(ServerE2E, BinaryPartsWithNulBytesAndLongLinesAreCarriedExactly) {
    std::mt19937 random(42);
    std::string binary(300000, '\0'), b64, sprinkled;
    for (char& c : binary) {
        c = static_cast<char>(random() % 256);
        c = c == '-' ? '\0' : c;  // never a delimiter inside
    }
    const std::string encoded = base64_encode(as_bytes(binary)).value();
    for (char c : encoded) {
        b64 += c != '\r' && c != '\n' ? std::string(1, c) : "";  // one long line
    }
    // Stray characters between the symbols of a long base64 line are skipped; a long line of
    // nothing but junk adds nothing.
    for (std::size_t i = 0; i < b64.size(); ++i) {
        sprinkled += b64[i] + std::string(i % 3 == 0 ? "! " : "");
    }
    test_submission s;
    const std::string octets = "application/octet-stream";
    s.parts.insert(s.parts.end(), {{octets, "<bin>", binary, "binary"},
                                   {octets, "<b64>", b64, "base64"},
                                   {"text/plain", "<empty>", ""},
                                   {octets, "<sprinkled>", sprinkled, "base64"},
                                   {octets, "<junk>", std::string(3000000, '!'), "base64"},
                                   // Kept in memory, but too large to join the composed bytes.
                                   {octets, "<mid>", binary.substr(0, 200000), "binary"}});
    ASSERT_TRUE(exchange(submit_request(s)).starts_with("HTTP/1.0 200 OK"));
    const walked_pdu pdu = walk_pdu(next_pdu());
    ASSERT_EQ(pdu.count, 9u);
    EXPECT_TRUE(pdu.exact);
    const strings expected = {binary, binary, "", binary, "", binary.substr(0, 200000)};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_TRUE(pdu.data[i + 3] == expected[i]) << "entry " << i + 3;
    }
}

TEST_F(ServerE2E, DisconnectingInEveryStateLeavesNothingBehind) {
    const std::string request = submit_request();
    std::size_t connections = 0;
    for (std::size_t cut = 0; cut < request.size(); cut += 11, ++connections) {
        http_connection c;
        ASSERT_TRUE(c.send_all(std::string_view(request).substr(0, cut)));
    }
    ASSERT_TRUE(daemon_->wait_for_log_count("free_outgoing_mms_info", connections));
    // Leaving once the request is complete is a half-close: the submission is carried through.
    set("confirm=none");
    {
        http_connection c;
        ASSERT_TRUE(c.send_all(request));
        std::string call_id =
            match(sim_->wait_for_line("not confirming").value_or(""), "id=(\\d+)");
        c.close_now();
        ++connections;
        ASSERT_TRUE(daemon_->wait_for_log("closed its sending side after the request"));
        set("confirm=sendconf");
        sim_->command("cnf " + call_id);
    }
    EXPECT_TRUE(daemon_->wait_for_log_count("free_outgoing_mms_info", connections));
    EXPECT_EQ(daemon_->log_count("free_outgoing_mms_info"), connections);
    EXPECT_EQ(pdu_files(), 0u);
}

TEST_F(Server, PeersOtherThanTheClientIpAreClosedWithoutReply) {
    start({}, {"--clientip", "127.0.0.2"});
    EXPECT_EQ(exchange(submit_request()), "");
    expect_log("IP '127.0.0.1' not authorized, closing connection");
    EXPECT_FALSE(sim_->seen("received MMS_SENDMMS_REQ"));
    // Unauthorised connects are logged at a bounded rate, with a count of what was left out.
    for (int i = 0; i < 300; ++i) {
        http_connection c;
    }
    std::this_thread::sleep_for(5500ms);
    EXPECT_EQ(exchange(""), "");
    expect_log("similar lines suppressed)");
    EXPECT_LE(daemon_->log_count("not authorized"), 21u);
}

// With --clientauthfile a request needs HTTP Basic credentials: without them it is refused with
// a challenge as soon as its head is read.  An HTTP/1.1 client that sends Expect: 100-continue
// (curl does for bodies over 1 MiB) waits for the interim 100 before it sends the body: it comes
// once the head is accepted, before any 103.  An HTTP/1.0 client never gets one.
TEST_F(Server, HeadsAreJudgedBeforeTheBodyIsRead) {
    e2e::temp_dir dir("mm7-auth");
    e2e::write_file(dir.path() / "vasp.auth", "vasp:s3cret\n");
    fs::permissions(dir.path() / "vasp.auth", fs::perms::owner_read | fs::perms::owner_write);
    start({}, {"--clientauthfile", (dir.path() / "vasp.auth").string()});
    const std::string auth = "Authorization: Basic dmFzcDpzM2NyZXQ=";  // vasp:s3cret
    const std::string request = e2e::submit_request_with([&](auto& s) {
        s.extra_headers = {"Expect: 100-Continue", "x-expect: 103-early-hints", auth};
    });
    auto with = [&](const std::string& from, const std::string& to) {
        return e2e::reshaped(request, {{from, to}});
    };
    const std::string cont = "HTTP/1.1 100 Continue\r\n\r\n";
    const std::string challenge =
        "HTTP/1.0 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"mm7\"\r\n\r\n"
        "401 Unauthorized";
    const std::pair<std::string, std::string> rows[] = {
        {request, cont},
        {with(auth, "authorization: bASIC   dmFzcDpzM2NyZXQ="), cont},
        {with("HTTP/1.1", "HTTP/1.0"), ""},
        {with("multipart/related;", "text/plain;"), error_reply("400 Bad content type")},
        {with(auth + "\r\n", ""), challenge},
        {with(auth, auth + "x"), challenge},
        {with(auth, "Authorization: Basic dmFzcDpzM2NyZXU="), challenge},  // vasp:s3creu
        {with(auth, "Authorization: Bearer dmFzcDpzM2NyZXQ="), challenge},
        {with(auth, "Authorization: dmFzcDpzM2NyZXQ="), challenge},
    };
    std::size_t sent = 0;
    for (const auto& [input, first] : rows) {
        const std::size_t body = input.find("\r\n\r\n") + 4;
        const bool refused = first.starts_with("HTTP/1.0");
        http_connection vasp;
        ASSERT_TRUE(vasp.send_all(input.substr(0, body)));
        EXPECT_EQ(refused ? vasp.read_all(5s) : vasp.read_some(first.empty() ? 500ms : 5s), first)
            << input.substr(0, 300);
        if (!refused) {
            ASSERT_TRUE(vasp.send_all(input.substr(body)));
            const std::string reply = vasp.read_all();
            EXPECT_TRUE(reply.starts_with("HTTP/1.0 103 Early Hints\r\n")) << reply;
            EXPECT_NE(reply.find("HTTP/1.0 200 OK"), std::string::npos) << reply;
            ++sent;
        }
    }
    EXPECT_EQ(sim_->count("received MMS_SENDMMS_REQ"), sent);
    expect_log("sent no credentials, answering 401 Unauthorized");
    expect_log("sent not Basic credentials");
    // A peer trying passwords gets its answers, but the log takes only so many lines.
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(exchange("POST /mm7 HTTP/1.0\r\nContent-Length: 5\r\n\r\n"), challenge);
    }
    EXPECT_LE(daemon_->log_count("answering 401"), 20u);
    EXPECT_EQ(pdu_files(), 0u);
}

// Early hints go only to the VASP that asked for them (the header value in lower case), at most
// two of them however many time-out indications arrive.
TEST_F(ServerE2E, ABurstOf900ConfirmationsAnswersEveryWaitingVaspWithAtMostTwo103s) {
    rlimit files{4000, 4000};
    setrlimit(RLIMIT_NOFILE, &files);
    set("confirm=none");
    std::vector<std::unique_ptr<http_connection>> vasps;
    std::string commands;
    for (int i = 0; i < 900; ++i) {
        vasps.push_back(std::make_unique<http_connection>());
        strings hints = {i == 0 ? "x-expect: 103-early-hints" : "x-expect: 103-Early-Hints"};
        ASSERT_TRUE(vasps.back()->send_all(
            e2e::submit_request_with([&](auto& s) { s.extra_headers = hints; })));
        std::string id =
            match(sim_->wait_for_line("not confirming", 60s).value_or(""), "id=(\\d+)");
        ASSERT_NE(id, "") << i;
        for (int k = 0; k < (i == 0 ? 50 : i == 1); ++k) {
            sim_->command("ind " + id + " 42");
        }
        commands += "cnf " + id + (i < 899 ? "\n" : "");
    }
    expect_log("Not sending 103 as not requested by client");
    set("confirm=sendconf");
    sim_->command(commands);
    std::set<std::string> message_ids;
    for (auto& vasp : vasps) {
        std::string reply = vasp->read_all(60s);
        EXPECT_TRUE(&vasp != &vasps[0] ||
                    reply.starts_with("HTTP/1.0 103 Early Hints\r\nX-Expected-Duration: 60\r\n\r\n"
                                      "HTTP/1.0 103 Early Hints\r\nX-Expected-Duration: 42\r\n\r\n"
                                      "HTTP/1.0 200 OK\r\n"))
            << reply;
        message_ids.insert(match(reply, "200 OK[\\s\\S]*<MessageID>([^<]+)<"));
        EXPECT_EQ(std::regex_replace(reply, std::regex("103 Early"), "").size(),
                  reply.size() - (&vasp == &vasps[0] ? 18 : 0));
    }
    message_ids.erase("");
    EXPECT_EQ(message_ids.size(), 900u);
    expect_log("Sending 103");
}

// Call ids start high, so that a restarted daemon does not take those of the run before.
TEST_F(ServerE2E, CallIdsStartHighAndOnlyDigitsFormTheImsi) {
    set("imsi=1x");  // only digits become a header
    std::string reply = exchange(submit_request());
    EXPECT_TRUE(reply.starts_with("HTTP/1.0 200") && reply.find("IMSI") == std::string::npos);
    auto line = sim_->wait_for_line("MMS_SENDMMS_REQ").value_or("");
    EXPECT_GT(std::stoull("0" + match(line, "callid=(\\d+)")), 1u << 20);
}

TEST_F(Server, IdleParkedLingeringAndUnconfirmedConnectionsAreAllBounded) {
    rlimit files{4000, 4000};
    setrlimit(RLIMIT_NOFILE, &files);
    start({"--set", "confirm=none"},
          {"--readtimeout", "10", "--confirmgrace", "1", "--maxconnperip", "0"});
    const std::string request = submit_request();
    http_connection unconfirmed;
    ASSERT_TRUE(unconfirmed.send_all(request));
    const auto call_id = match(sim_->wait_for_line("not confirming").value_or(""), "id=(\\d+)");
    // No progress while the request is read: 408 after the read time-out (checked below).
    http_connection silent, half, steady;
    ASSERT_TRUE(half.send_all(request.substr(0, 100)));
    // A slow but steady sender, its head at once, then a piece of its body a second for longer
    // than the time-out, goes through.
    const std::size_t head = request.find("\r\n\r\n") + 4;
    for (std::size_t piece = 0; piece < 13; ++piece) {
        ASSERT_TRUE(steady.send_all(piece == 0   ? request.substr(0, head)
                                    : piece < 12 ? request.substr(head + piece * 10 - 10, 10)
                                                 : request.substr(head + 110)));
        std::this_thread::sleep_for(1s);
    }
    const auto steady_id = match(sim_->wait_for_line("not confirming").value_or(""), "id=(\\d+)");
    EXPECT_NE(steady_id, "");
    // Requests parked half-way through large envelopes: past the memory bound, 503.
    const std::string big = e2e::submit_request_with([](auto& s) {
                                s.subject = std::string(250000, 's');
                            }).substr(0, 250000);
    std::vector<std::unique_ptr<http_connection>> parked(320);
    std::size_t refused = 0;
    for (auto& c : parked) {
        c = std::make_unique<http_connection>();
        c->send_all(big);
    }
    ASSERT_TRUE(daemon_->wait_for_log("Unfinished requests hold"));
    for (auto& c : parked) {
        refused += c->read_some(10ms) == error_reply("503 Server busy");
    }
    EXPECT_GT(refused, 0u);
    parked.clear();
    ASSERT_TRUE(daemon_->wait_for_log_count("free_outgoing_mms_info", 320));
    std::this_thread::sleep_for(300ms);
    // Sockets lingering after refusals count within the connection cap (with the four above).
    std::vector<std::unique_ptr<http_connection>> lingering(996);
    for (auto& c : lingering) {
        c = std::make_unique<http_connection>();
        c->send_all("GET / HTTP/1.0\r\n");
    }
    ASSERT_TRUE(daemon_->wait_for_log_count("free_outgoing_mms_info", 1316, 30s));
    EXPECT_EQ(exchange(request), "");
    expect_log("Too many connections");
    // Idle time-outs are checked once a second: the second 408 may follow a tick later.
    EXPECT_EQ(silent.read_all(15s), error_reply("408 Request Timeout"));
    EXPECT_EQ(half.read_all(5s), error_reply("408 Request Timeout"));
    // The kernel module never confirmed: a fault after its time-out and the grace.
    std::string reply = unconfirmed.read_all(30s);
    EXPECT_TRUE(reply.starts_with("HTTP/1.0 500 OK") &&
                reply.find(">Gateway did not confirm the submission<") != std::string::npos);
    EXPECT_TRUE(steady.read_all(30s).starts_with("HTTP/1.0 500 OK"));
    EXPECT_EQ(pdu_files(), 2u);  // the kernel module may still read them
    set("confirm=sendconf");
    sim_->command("cnf " + call_id + "\ncnf " + steady_id);
    expect_log("Not found client fd by callid " + call_id);
    expect_log("Not found client fd by callid " + steady_id);
    EXPECT_TRUE(e2e::wait_until([&] { return pdu_files() == 0; }));
}

// The PDU file of a submission the kernel module never confirmed (kept above while the module
// may still be reading it) goes like one an earlier run left: 10 minutes after its last change,
// here made to lie that far back.  Without a late confirmation it would stay for good.
TEST_F(Server, AnUnconfirmedSubmissionsPduFileGoesOnceTheModuleCannotBeReadingIt) {
    start({"--set", "confirm=none"}, {"--confirmgrace", "1"});
    http_connection vasp;
    ASSERT_TRUE(vasp.send_all(submit_request()));
    const fs::path file = match(sim_->wait_for_line("MMS_SENDMMS_REQ").value_or(""), "file=(\\S+)");
    ASSERT_TRUE(fs::exists(file));
    fs::last_write_time(file, fs::file_time_type::clock::now() - 601s);
    EXPECT_TRUE(vasp.read_all(30s).starts_with("HTTP/1.0 500 OK"));
    EXPECT_TRUE(daemon_->wait_for_log("Removed 1 PDU files of unconfirmed submissions", 5s));
    EXPECT_FALSE(fs::exists(file));
}

// However steadily it sends, a request must have its head within 10 s and be complete within
// --requesttimeout of its accept; at most --maxconnperip requests are read at once from one
// address, and while connections are turned away /health says so.
TEST_F(Server, SlowRequestsAndOneAddressAreBoundedInTimeAndNumber) {
    start({}, {"--requesttimeout", "12", "--maxconnperip", "3", "--metricsport", "9187"});
    const std::string request = submit_request();
    const auto begin = std::chrono::steady_clock::now();
    const auto seconds = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    };
    http_connection head_only, trickle, third;
    ASSERT_TRUE(head_only.send_all("POST /mm7 HTTP/1.1\r\n"));
    ASSERT_TRUE(trickle.send_all(request.substr(0, request.find("\r\n\r\n") + 4)));
    ASSERT_TRUE(third.send_all("P"));
    std::this_thread::sleep_for(200ms);
    http_connection fourth;
    EXPECT_EQ(fourth.read_all(2s), "");  // closed at once: one past the bound
    const std::string health = exchange("GET /health HTTP/1.1\r\n\r\n", 9187);
    EXPECT_NE(health.find("503 Service Unavailable"), std::string::npos) << health;
    EXPECT_NE(health.find("VASP connections turned away: too many VASP connections from "
                          "127.0.0.1\n"),
              std::string::npos)
        << health;
    std::string reply, head_reply;
    double head_closed_at = 0;
    for (std::size_t at = request.find("\r\n\r\n") + 4; reply.empty() && at < request.size();
         ++at) {
        trickle.send_all(request.substr(at, 1));  // progress every 300 ms
        reply = trickle.read_some(300ms);
        if (head_reply.empty() && !(head_reply = head_only.read_some(0ms)).empty()) {
            head_closed_at = seconds();
        }
    }
    const double closed_at = seconds();
    reply += trickle.read_all(2s);  // the rest, when a busy machine split the reply
    head_reply += head_only.read_all(2s);
    EXPECT_EQ(reply, error_reply("408 Request Timeout"));
    EXPECT_GE(closed_at, 11.5);
    EXPECT_LT(closed_at, 14.5);
    EXPECT_EQ(head_reply, error_reply("408 Request Timeout"));
    EXPECT_GE(head_closed_at, 9.5);
    EXPECT_LT(head_closed_at, 11.9);
    expect_log("did not complete its request head within 10 s");
    expect_log("did not complete its request within 12 s");
}

TEST_F(Server, ChunkedBodiesLimitsAndHostileValues) {
    start({}, {"--maxmessagesize", "100000"});
    auto with = e2e::submit_request_with;
    const std::string request = submit_request(), chunked = e2e::chunked(request);
    const std::string mm1 =
        mm1_head + "x-qzm-recipient-id: +4917099\r\nx-qzm-sender-id: ##FORCE##0711\r\n";
    const std::string params = std::regex_replace(std::string(3990, ';'), std::regex(";"), ";a=1");
    auto before_host = [&](const std::string& header) {
        return std::regex_replace(request, std::regex("Host:"), header + "\r\nHost:");
    };
    const std::vector<std::pair<std::string, std::string>> cases = {
        {chunked, "HTTP/1.0 200 OK"},
        {e2e::chunked(mm1 + "Content-Length: 5000\r\n\r\n" + std::string(5000, 'm')),
         "HTTP/1.0 200 OK"},
        {before_host("Transfer-Encoding: gzip"), "HTTP/1.0 501"},
        {std::regex_replace(chunked, std::regex("\r\n\r\n1;"), "\r\n\r\ng;"),
         "HTTP/1.0 400 Bad request"},
        {mm1 + "Content-Length: 100001\r\n\r\n", "HTTP/1.0 413 Payload"},
        {mm1 + "Content-Length: 4294967297\r\n\r\nx", "HTTP/1.0 400 Bad request"},
        {with([](auto& s) { s.parts[1].location = std::string("a\0b", 3); }), "HTTP/1.0 400"},
        {with([&](auto& s) { s.parts[1].content_type = "text/plain" + params; }),
         "HTTP/1.0 200 OK"},
        // Peer values with line ends and terminal escapes, logged along the way.
        {std::regex_replace(request, std::regex("boundary=\"outer-boundary-1\"[^\r]*"),
                            "boundary=\"o\nFORGED-boundary\""),
         "HTTP/1.0 400 Bad content type"},
        {before_host("Bad \nFORGED-header: 1"), ""},
        {with([](auto& s) {
             s.subject = "x&#10;FORGED-xml";
             s.parts[1].content_type = "text/plain; q=\"\nFORGED-param\x1b[2J\"";
         }),
         "HTTP/1.0 200 OK"},
    };
    for (const auto& [input, reply_start] : cases) {
        auto started = std::chrono::steady_clock::now();
        EXPECT_TRUE(exchange(input).starts_with(reply_start)) << reply_start;
        EXPECT_LT(std::chrono::steady_clock::now() - started, 3s) << reply_start;
    }
    // Each bound exactly reached, and passed by one with the crossing byte (or header) in the
    // last write, which the last part's data (or header block) ends in.
    auto fill = [&](std::size_t last) {
        return with([last](auto& s) {
            s.parts = {{"text/plain", "<a>", std::string(50000, 'a')},
                       {"text/plain", "<z>", std::string(last, 'Z')}};
        });
    };
    auto mm1_chunked = [&](std::size_t n) {
        return e2e::chunked(mm1 + "Content-Length: 1\r\n\r\n" + std::string(n, 'Z'));
    };
    auto pad = [](std::size_t n) {
        std::string lines;
        for (std::size_t i = 0; i < n; ++i) {
            lines += "X-Pad: " + std::to_string(i) + "\r\n";
        }
        return lines;
    };
    auto headers = [&](std::size_t last) {  // 200 header lines in every block, but the last
        return e2e::reshaped(request, {{"Host: 127.0.0.1\r\n", "Host: 127.0.0.1\r\n" + pad(196)},
                                       {"<mm7_env>\r\n", "<mm7_env>\r\n" + pad(198)},
                                       {"<mms_cid>\r\n", "<mms_cid>\r\n" + pad(198)},
                                       {"img.gif\r\n\r\n", "img.gif\r\n" + pad(last) + "\r\n"}});
    };
    const std::vector<std::pair<std::string, std::string>> bounds = {
        {fill(50000), "HTTP/1.0 200 OK"},
        {fill(50001), "HTTP/1.0 413 Payload"},
        {mm1_chunked(100000), "HTTP/1.0 200 OK"},
        {mm1_chunked(100001), "HTTP/1.0 413 Payload"},
        {mm1 + "Content-Length: 100000\r\n\r\n" + std::string(100000, 'Z'), "HTTP/1.0 200 OK"},
        {headers(196), "HTTP/1.0 200 OK"},
        {headers(197), "HTTP/1.0 431 Request Header Fields Too Large"},
    };
    for (const auto& [input, reply_start] : bounds) {
        const std::size_t at = std::min(input.rfind('Z'), input.rfind("X-Pad"));
        http_connection vasp;
        ASSERT_TRUE(vasp.send_all(input.substr(0, at)));
        EXPECT_EQ(vasp.read_some(300ms), "") << reply_start;
        ASSERT_TRUE(vasp.send_all(input.substr(at)));
        EXPECT_TRUE(vasp.read_all().starts_with(reply_start)) << reply_start << at;
    }
    const walked_pdu pdu = walk_pdu(next_pdu());
    EXPECT_TRUE(pdu.count == 3 && pdu.exact);
    EXPECT_EQ(pdu.data.at(1), "Hello from the VASP\r\nline two");
    // An MM1 body is the PDU as it came; recipient and sender go to the kernel module as given.
    const std::string line = sim_->wait_for_line("received MMS_SENDMMS_REQ").value_or("");
    EXPECT_NE(line.find("recipient=+4917099 sender=##FORCE##0711 "), std::string::npos) << line;
    EXPECT_NE(line.find(" timeout=15 "), std::string::npos) << line;
    EXPECT_EQ(read_file(keep_.path() / fs::path(match(line, "file=(\\S+)")).filename()),
              std::string(5000, 'm'));
    const std::string log = daemon_->log();
    EXPECT_LT(daemon_->log_count("compose_content_type"), 100u);
    EXPECT_EQ(log.find("\nFORGED"), std::string::npos);
    EXPECT_EQ(log.find('\x1b'), std::string::npos);
    for (const char* vector : {"header", "boundary", "param", "xml"}) {
        EXPECT_NE(log.find(std::string("\\x0AFORGED-") + vector), std::string::npos) << vector;
    }
}

// Files and descriptors under hostile conditions, with a tiny tmpfs as the work directory.
class ServerFiles : public fixture {
  protected:
    void SetUp() override {
        ASSERT_EQ(unshare(CLONE_NEWNS), 0);
        ASSERT_EQ(mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
        ASSERT_EQ(mount("tmpfs", work_.path().c_str(), "tmpfs", 0, "size=256k"), 0);
        e2e::write_file(work_.path() / "victim", "precious");
        fs::create_symlink(work_.path() / "victim", work_.path() / "mm7-server.pid");
        start({}, {"--workdir", work_.path().string()});
    }
    void TearDown() override {
        fixture::TearDown();
        daemon_.reset();
        umount(work_.path().c_str());
    }
    e2e::temp_dir work_;
};

TEST_F(ServerFiles, PlantedLinksAreNeverFollowed) {
    EXPECT_EQ(read_file(work_.path() / "mm7-server.pid"), std::to_string(daemon_->pid()));
    // Links under the names the first transaction ids take around now.
    for (auto t = static_cast<std::uint32_t>(std::time(nullptr)) - 2, end = t + 20; t < end; ++t) {
        for (std::uint32_t counter = 1; counter <= 3; ++counter) {
            buffer id = cat({encode_uintvar(t), encode_uintvar(counter)});
            std::string name = std::regex_replace(*base64_encode(id), std::regex("\n"), "");
            name = std::regex_replace(name, std::regex("/"), "-") + ".mm1";
            fs::create_symlink(work_.path() / "victim", work_.path() / name);
        }
    }
    EXPECT_TRUE(exchange(submit_request()).starts_with("HTTP/1.0 200"));
    EXPECT_EQ(read_file(work_.path() / "victim"), "precious");
    EXPECT_TRUE(daemon_->log_contains("exists already, taking another name"));
}

TEST_F(ServerFiles, AFullDiskIsAnErrorAndTheKernelModuleIsNotAsked) {
    std::ofstream filler(work_.path() / "filler", std::ios::binary);
    while (filler << std::string(4096, 'f')) {
    }
    EXPECT_EQ(exchange(mm1_head + "x-qzm-recipient-id: +4917099\r\nContent-Length: 3\r\n\r\nabc"),
              error_reply("503 Server error"));
    EXPECT_EQ(exchange(submit_request()), error_reply("503 Server error"));
    EXPECT_FALSE(sim_->seen("received MMS_SENDMMS_REQ"));
    // A log file that cannot be opened is reported on stderr.
    e2e::daemon_process other({"--logfile", "/no/such.log"});
    EXPECT_TRUE(e2e::wait_until(
        [&] { return other.stderr_text().find("cannot open log") != std::string::npos; }));
}

TEST_F(ServerFiles, RunningOutOfDescriptorsDoesNotSpin) {
    rlimit limit{24, 24};
    ASSERT_EQ(prlimit(daemon_->pid(), RLIMIT_NOFILE, &limit, nullptr), 0);
    std::vector<http_connection> connections(60);
    std::this_thread::sleep_for(500ms);
    // Nanoseconds the daemon ran, and its log, over two seconds.
    const std::string schedstat = "/proc/" + std::to_string(daemon_->pid()) + "/schedstat";
    const long long ran = std::stoll(read_file(schedstat));
    const auto logged = fs::file_size(daemon_->log_path());
    std::this_thread::sleep_for(2s);
    EXPECT_LT(std::stoll(read_file(schedstat)) - ran, 500'000'000);
    EXPECT_LT(fs::file_size(daemon_->log_path()) - logged, 100'000u);
    connections.clear();
    EXPECT_TRUE(exchange(submit_request()).starts_with("HTTP/1.0 200"));
}

}  // namespace
