// mm7-submit: builds an MM7 SubmitReq from its arguments and posts it to the gateway, printing the
// interim responses and the SubmitRsp or fault in a readable form.
#include <curl/curl.h>
#include <getopt.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "core/base64.h"
#include "core/config.h"
#include "mm7/documents/mm7.h"

namespace {

constexpr std::string_view kMm7Namespace =
    "http://www.3gpp.org/ftp/Specs/archive/23_series/23.140/schema/REL-5-MM7-1-2";
constexpr std::string_view kDefaultUrl = "http://127.0.0.1:8887/mm7";

enum class address_kind { number, short_code, email };

struct address {
    address_kind kind;
    std::string text;
};

struct media_file {
    std::string name;  // file name without directories: Content-ID and Content-Location
    std::string content_type;
    std::string bytes;
};

struct submit_options {
    std::string url{kDefaultUrl};
    std::vector<address> to, cc, bcc;
    std::optional<address> from;
    std::string vasp_id, vas_id, service_code, transaction_id, subject, message_class, priority,
        expiry, smil_path;
    // HTTPS: the CAs that vouch for the gateway (default: the system's), and a client
    // certificate with its key for a gateway that asks for one.
    std::string ca_cert, cert, key;
    bool delivery_report = false, read_report = false, early_hints = false, dry_run = false;
    long timeout = 120;
    std::vector<std::string> files;
};

[[noreturn]] void fail(const std::string& message) {
    std::cerr << "mm7-submit: " << message << "\n";
    std::exit(2);
}

std::optional<address> classify(std::string_view text) {
    static const std::regex number(R"(\+?[0-9]{7,15})");
    static const std::regex short_code(R"([0-9]{3,6})");
    static const std::regex email(R"([A-Za-z0-9._%+-]+@[A-Za-z0-9-]+(\.[A-Za-z0-9-]+)+)");
    std::string s(text);
    if (std::regex_match(s, short_code)) {
        return address{address_kind::short_code, s};
    }
    if (std::regex_match(s, number)) {
        return address{address_kind::number, s};
    }
    if (std::regex_match(s, email)) {
        return address{address_kind::email, s};
    }
    return std::nullopt;
}

address parse_address(const char* option, std::string_view text) {
    auto a = classify(text);
    if (!a) {
        fail(std::string("--") + option + " '" + std::string(text) +
             "' is neither a number, a short code nor an e-mail address");
    }
    return *a;
}

std::string content_type_for(std::string_view name) {
    static const std::pair<std::string_view, std::string_view> kTypes[] = {
        {".smil", "application/smil"},   {".smi", "application/smil"},
        {".txt", "text/plain"},          {".jpg", "image/jpeg"},
        {".jpeg", "image/jpeg"},         {".png", "image/png"},
        {".gif", "image/gif"},           {".bmp", "image/bmp"},
        {".wbmp", "image/vnd.wap.wbmp"}, {".amr", "audio/amr"},
        {".mp3", "audio/mpeg"},          {".aac", "audio/aac"},
        {".wav", "audio/wav"},           {".mid", "audio/midi"},
        {".3gp", "video/3gpp"},          {".mp4", "video/mp4"},
        {".vcf", "text/x-vcard"},        {".vcs", "text/x-vcalendar"},
        {".html", "text/html"},          {".xml", "text/xml"}};
    std::string lower(name);
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    for (auto [ext, type] : kTypes) {
        if (lower.ends_with(ext)) {
            return std::string(type);
        }
    }
    return "application/octet-stream";
}

media_file read_media(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fail("cannot read '" + path + "': " + std::strerror(errno));
    }
    media_file f;
    f.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        fail("cannot read '" + path + "'");
    }
    std::size_t slash = path.find_last_of('/');
    f.name = slash == std::string::npos ? path : path.substr(slash + 1);
    f.content_type = content_type_for(f.name);
    return f;
}

std::string escaped(std::string_view text) {
    return xml_escape(text).value_or("");
}

// A SMIL presentation that shows every file in turn, one per slide.
std::string generate_smil(const std::vector<media_file>& media) {
    std::string smil =
        "<smil><head><layout><root-layout width=\"320\" height=\"480\"/>"
        "<region id=\"Image\" top=\"0\" left=\"0\" height=\"70%\" width=\"100%\"/>"
        "<region id=\"Text\" top=\"70%\" left=\"0\" height=\"30%\" width=\"100%\"/>"
        "</layout></head><body>";
    for (const media_file& m : media) {
        std::string_view type = m.content_type;
        std::string element = type.starts_with("image/")   ? "img"
                              : type.starts_with("text/")  ? "text"
                              : type.starts_with("audio/") ? "audio"
                              : type.starts_with("video/") ? "video"
                                                           : "ref";
        std::string region = element == "img" || element == "video" ? " region=\"Image\""
                             : element == "text"                    ? " region=\"Text\""
                                                                    : "";
        smil += "<par dur=\"5000ms\"><" + element + " src=\"" + escaped(m.name) + "\"" + region +
                "/></par>";
    }
    return smil + "</body></smil>";
}

std::string address_xml(const address& a) {
    const char* tag = a.kind == address_kind::number       ? "Number"
                      : a.kind == address_kind::short_code ? "ShortCode"
                                                           : "RFC2822Address";
    return std::string("<") + tag + ">" + escaped(a.text) + "</" + tag + ">";
}

std::string recipients_xml(const char* element, const std::vector<address>& list) {
    if (list.empty()) {
        return {};
    }
    std::string xml = std::string("<") + element + ">";
    for (const address& a : list) {
        xml += address_xml(a);
    }
    return xml + "</" + element + ">";
}

std::string envelope(const submit_options& o) {
    std::string sender = "<SenderIdentification>";
    if (!o.vasp_id.empty()) {
        sender += "<VASPID>" + escaped(o.vasp_id) + "</VASPID>";
    }
    if (!o.vas_id.empty()) {
        sender += "<VASID>" + escaped(o.vas_id) + "</VASID>";
    }
    if (o.from) {
        sender += "<SenderAddress>" + address_xml(*o.from) + "</SenderAddress>";
    }
    sender += "</SenderIdentification>";
    std::string body = "<MM7Version>5.3.0</MM7Version>" + sender + "<Recipients>" +
                       recipients_xml("To", o.to) + recipients_xml("Cc", o.cc) +
                       recipients_xml("Bcc", o.bcc) + "</Recipients>";
    if (!o.service_code.empty()) {
        body += "<ServiceCode>" + escaped(o.service_code) + "</ServiceCode>";
    }
    if (!o.message_class.empty()) {
        body += "<MessageClass>" + escaped(o.message_class) + "</MessageClass>";
    }
    if (!o.expiry.empty()) {
        body += "<ExpiryDate>" + escaped(o.expiry) + "</ExpiryDate>";
    }
    if (o.delivery_report) {
        body += "<DeliveryReport>true</DeliveryReport>";
    }
    if (o.read_report) {
        body += "<ReadReply>true</ReadReply>";
    }
    if (!o.priority.empty()) {
        body += "<Priority>" + escaped(o.priority) + "</Priority>";
    }
    if (!o.subject.empty()) {
        body += "<Subject>" + escaped(o.subject) + "</Subject>";
    }
    body += "<Content href=\"cid:mms_cid\" allowAdaptations=\"true\"/>";
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
           "<env:Envelope xmlns:env=\"http://schemas.xmlsoap.org/soap/envelope/\">"
           "<env:Header><mm7:TransactionID xmlns:mm7=\"" +
           std::string(kMm7Namespace) + "\" env:mustUnderstand=\"1\">" + escaped(o.transaction_id) +
           "</mm7:TransactionID></env:Header><env:Body><SubmitReq xmlns=\"" +
           std::string(kMm7Namespace) + "\">" + body + "</SubmitReq></env:Body></env:Envelope>";
}

std::string random_boundary(std::mt19937& rng, std::string_view prefix) {
    static constexpr char kAlphabet[] =
        "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    std::string b(prefix);
    for (int i = 0; i < 24; ++i) {
        b += kAlphabet[rng() % 62];
    }
    return b;
}

struct request {
    std::string content_type;
    std::string body;
};

request build_request(const submit_options& o, const std::vector<media_file>& media,
                      const media_file& smil) {
    std::mt19937 rng(std::random_device{}());
    std::string outer = random_boundary(rng, "mm7-outer-");
    std::string inner = random_boundary(rng, "mm7-inner-");
    std::string content;
    auto add_part = [&](const media_file& m, std::string_view id) {
        bool text = m.content_type.starts_with("text/") || m.content_type == "application/smil";
        content += "--" + inner + "\r\nContent-Type: " + m.content_type +
                   (m.content_type.starts_with("text/") ? "; charset=utf-8" : "") +
                   "\r\nContent-ID: <" + std::string(id) + ">\r\nContent-Location: " + m.name +
                   "\r\n";
        if (text) {
            content += "Content-Transfer-Encoding: 8bit\r\n\r\n" + m.bytes + "\r\n";
        } else {
            content += "Content-Transfer-Encoding: base64\r\n\r\n" +
                       base64_encode(as_bytes(m.bytes)).value_or("") + "\r\n";
        }
    };
    add_part(smil, "smil");
    for (const media_file& m : media) {
        add_part(m, m.name);
    }
    content += "--" + inner + "--\r\n";
    request r;
    r.content_type =
        "multipart/related; boundary=\"" + outer + "\"; type=\"text/xml\"; start=\"<mm7_env>\"";
    r.body = "--" + outer +
             "\r\nContent-Type: text/xml; charset=\"utf-8\"\r\nContent-ID: <mm7_env>\r\n\r\n" +
             envelope(o) + "\r\n--" + outer + "\r\nContent-Type: multipart/related; boundary=\"" +
             inner +
             "\"; start=\"<smil>\"; type=\"application/smil\"\r\nContent-ID: <mms_cid>\r\n\r\n" +
             content + "\r\n--" + outer + "--\r\n";
    return r;
}

// The text of the first element of that local name, whatever its prefix.
std::optional<std::string> element_text(const std::string& xml, std::string_view name) {
    std::regex re("<(?:[A-Za-z0-9_]+:)?" + std::string(name) +
                  R"((?:\s[^>]*)?>([^<]*)</(?:[A-Za-z0-9_]+:)?)" + std::string(name) + ">");
    std::smatch m;
    if (std::regex_search(xml, m, re)) {
        return m[1].str();
    }
    return std::nullopt;
}

struct reply_state {
    std::string body;
    std::string headers;  // of the current response
    long final_code = 0;
};

std::size_t on_header(char* data, std::size_t size, std::size_t count, void* user) {
    auto& state = *static_cast<reply_state*>(user);
    std::string line(data, size * count);
    if (line.starts_with("HTTP/")) {
        state.headers.clear();
    }
    if (line == "\r\n" || line == "\n") {
        // End of one response head: an interim one is printed as it comes.
        std::size_t space = state.headers.find(' ');
        if (space != std::string::npos && state.headers[space + 1] == '1') {
            std::string status =
                state.headers.substr(space + 1, state.headers.find("\r\n") - space - 1);
            std::cout << "interim: " << status;
            std::size_t duration = state.headers.find("X-Expected-Duration:");
            if (duration != std::string::npos) {
                std::size_t from = duration + std::strlen("X-Expected-Duration:");
                std::cout << " (expected duration"
                          << state.headers.substr(from, state.headers.find("\r\n", from) - from)
                          << " s)";
            }
            std::cout << "\n" << std::flush;
        }
        return size * count;
    }
    state.headers += line;
    return size * count;
}

std::size_t on_body(char* data, std::size_t size, std::size_t count, void* user) {
    static_cast<reply_state*>(user)->body.append(data, size * count);
    return size * count;
}

int post(const submit_options& o, const request& r) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
        fail("cannot initialise libcurl");
    }
    reply_state state;
    curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, ("Content-Type: " + r.content_type).c_str());
    headers = curl_slist_append(headers, "SOAPAction: \"\"");
    headers = curl_slist_append(headers, "Expect:");
    if (o.early_hints) {
        headers = curl_slist_append(headers, "X-Expect: 103-early-hints");
    }
    curl_easy_setopt(curl, CURLOPT_URL, o.url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, r.body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.body.size()));
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &state);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &state);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, o.timeout);
    curl_easy_setopt(curl, CURLOPT_HTTP09_ALLOWED, 0L);
    for (auto [option, file] : {std::pair{CURLOPT_CAINFO, &o.ca_cert},
                                {CURLOPT_SSLCERT, &o.cert},
                                {CURLOPT_SSLKEY, &o.key}}) {
        if (!file->empty()) {
            curl_easy_setopt(curl, option, file->c_str());
        }
    }
    CURLcode rc = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &state.final_code);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    curl_global_cleanup();
    if (rc != CURLE_OK) {
        std::cerr << "mm7-submit: " << o.url << ": " << curl_easy_strerror(rc) << "\n";
        return 3;
    }
    std::cout << "http: " << state.final_code << "\n";
    auto code = element_text(state.body, "StatusCode");
    auto text = element_text(state.body, "StatusText");
    auto message_id = element_text(state.body, "MessageID");
    bool fault = state.body.find("Fault>") != std::string::npos;
    if (code) {
        std::cout << (fault ? "fault: " : "status: ") << *code << " " << text.value_or("") << "\n";
    } else if (!state.body.empty()) {
        std::cout << "reply: " << state.body << "\n";
    }
    if (message_id && !message_id->empty()) {
        std::cout << "message-id: " << *message_id << "\n";
    }
    bool success = state.final_code == 200 && code && *code >= "1000" && *code < "2000" &&
                   code->size() == 4 && !fault;
    return success ? 0 : 1;
}

const char* kUsage =
    "usage: mm7-submit [options] --to ADDR [FILE...]\n"
    "Builds an MM7 SubmitReq with the files as its content and posts it to the gateway.\n"
    "  --url URL              MM7 endpoint, http or https (default\n"
    "                         http://127.0.0.1:8887/mm7)\n"
    "  --to, --cc, --bcc ADDR recipient (repeatable): a number, a short code or an e-mail address\n"
    "  --from ADDR            sender address (the gateway joins every text of the sender\n"
    "                         identification, so give either --from or the identifiers)\n"
    "  --vaspid ID, --vasid ID, --service-code CODE   sender identification\n"
    "  --transaction-id ID    (default: made from the time)\n"
    "  --subject TEXT         --class Personal|Advertisement|Informational|Auto\n"
    "  --priority Low|Normal|High   --expiry DATE-OR-DURATION (e.g. P1D)\n"
    "  --delivery-report      --read-report\n"
    "  --early-hints          ask for 103 Early Hints while the gateway works\n"
    "  --smil FILE            presentation to use (default: one slide per file)\n"
    "  --timeout SECONDS      whole exchange (default 120)\n"
    "  --cacert FILE          https: the CAs that vouch for the gateway (PEM; default: the\n"
    "                         system's)\n"
    "  --cert FILE, --key FILE  https: a client certificate (PEM) and its key, for a gateway\n"
    "                         that asks for one\n"
    "  --dry-run              write the HTTP request to stdout instead of sending it\n"
    "Content types are guessed from the file extensions.  Exit status: 0 on success, 1 on a fault\n"
    "or HTTP error, 2 on bad arguments, 3 when the gateway cannot be reached.\n";

submit_options parse_arguments(int argc, char** argv) {
    enum {
        kTo = 256,
        kCc,
        kBcc,
        kFrom,
        kVasp,
        kVas,
        kService,
        kTx,
        kSubject,
        kClass,
        kPriority,
        kExpiry,
        kDr,
        kRr,
        kHints,
        kSmil,
        kTimeout,
        kDry,
        kUrl,
        kCaCert,
        kCert,
        kKey,
        kHelp
    };
    static const option kLong[] = {{"to", required_argument, nullptr, kTo},
                                   {"cc", required_argument, nullptr, kCc},
                                   {"bcc", required_argument, nullptr, kBcc},
                                   {"from", required_argument, nullptr, kFrom},
                                   {"vaspid", required_argument, nullptr, kVasp},
                                   {"vasid", required_argument, nullptr, kVas},
                                   {"service-code", required_argument, nullptr, kService},
                                   {"transaction-id", required_argument, nullptr, kTx},
                                   {"subject", required_argument, nullptr, kSubject},
                                   {"class", required_argument, nullptr, kClass},
                                   {"priority", required_argument, nullptr, kPriority},
                                   {"expiry", required_argument, nullptr, kExpiry},
                                   {"delivery-report", no_argument, nullptr, kDr},
                                   {"read-report", no_argument, nullptr, kRr},
                                   {"early-hints", no_argument, nullptr, kHints},
                                   {"smil", required_argument, nullptr, kSmil},
                                   {"timeout", required_argument, nullptr, kTimeout},
                                   {"dry-run", no_argument, nullptr, kDry},
                                   {"url", required_argument, nullptr, kUrl},
                                   {"cacert", required_argument, nullptr, kCaCert},
                                   {"cert", required_argument, nullptr, kCert},
                                   {"key", required_argument, nullptr, kKey},
                                   {"help", no_argument, nullptr, kHelp},
                                   {nullptr, 0, nullptr, 0}};
    submit_options o;
    int c;
    while ((c = getopt_long(argc, argv, "", kLong, nullptr)) != -1) {
        std::string value = optarg != nullptr ? optarg : "";
        switch (c) {
            case kTo:
                o.to.push_back(parse_address("to", value));
                break;
            case kCc:
                o.cc.push_back(parse_address("cc", value));
                break;
            case kBcc:
                o.bcc.push_back(parse_address("bcc", value));
                break;
            case kFrom:
                o.from = parse_address("from", value);
                break;
            case kVasp:
                o.vasp_id = value;
                break;
            case kVas:
                o.vas_id = value;
                break;
            case kService:
                o.service_code = value;
                break;
            case kTx:
                o.transaction_id = value;
                break;
            case kSubject:
                o.subject = value;
                break;
            case kClass:
                o.message_class = value;
                break;
            case kPriority:
                o.priority = value;
                break;
            case kExpiry:
                o.expiry = value;
                break;
            case kDr:
                o.delivery_report = true;
                break;
            case kRr:
                o.read_report = true;
                break;
            case kHints:
                o.early_hints = true;
                break;
            case kSmil:
                o.smil_path = value;
                break;
            case kTimeout:
                o.timeout = std::strtol(value.c_str(), nullptr, 10);
                if (o.timeout <= 0) {
                    fail("--timeout needs a positive number of seconds");
                }
                break;
            case kDry:
                o.dry_run = true;
                break;
            case kUrl:
                o.url = value;
                break;
            case kCaCert:
                o.ca_cert = value;
                break;
            case kCert:
                o.cert = value;
                break;
            case kKey:
                o.key = value;
                break;
            case kHelp:
                std::cout << kUsage;
                std::exit(0);
            default:
                std::cerr << kUsage;
                std::exit(2);
        }
    }
    for (int i = optind; i < argc; ++i) {
        o.files.emplace_back(argv[i]);
    }
    if (o.to.empty() && o.cc.empty() && o.bcc.empty()) {
        fail("at least one recipient (--to, --cc or --bcc) is needed");
    }
    url_parts parts;
    if (url_parse(parts, o.url) != 0 || !parts.scheme ||
        (*parts.scheme != "http" && *parts.scheme != "https") || !parts.host ||
        parts.host->empty()) {
        fail("'" + o.url + "' is not an http URL");
    }
    if (o.transaction_id.empty()) {
        o.transaction_id = "mm7-submit-" + std::to_string(std::time(nullptr));
    }
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    submit_options o = parse_arguments(argc, argv);
    std::vector<media_file> media;
    for (const std::string& path : o.files) {
        media.push_back(read_media(path));
    }
    media_file smil;
    if (!o.smil_path.empty()) {
        smil = read_media(o.smil_path);
        smil.content_type = "application/smil";
    } else {
        smil = {"presentation.smil", "application/smil", generate_smil(media)};
    }
    request r = build_request(o, media, smil);
    if (o.dry_run) {
        url_parts parts;
        url_parse(parts, o.url);
        std::cout << "POST /" << parts.path.value_or("")
                  << (parts.query ? "?" + *parts.query : std::string())
                  << " HTTP/1.1\r\nHost: " << *parts.host
                  << (parts.port != 0 ? ":" + std::to_string(parts.port) : "")
                  << "\r\nContent-Type: " << r.content_type << "\r\nSOAPAction: \"\"\r\n"
                  << (o.early_hints ? "X-Expect: 103-early-hints\r\n" : "")
                  << "Content-Length: " << r.body.size() << "\r\n\r\n"
                  << r.body;
        return 0;
    }
    return post(o, r);
}
