// Builds MM7 SubmitReq requests as a VASP sends them, for the end-to-end tests.
#pragma once

#include <string>
#include <vector>

struct test_part {
    std::string content_type;
    std::string content_id;
    std::string body;               // raw bytes of the part as they travel
    std::string transfer_encoding;  // empty: no header
    std::string location;           // empty: no header
};

struct test_submission {
    std::string transaction_id = "vasp-tx-1";
    std::string recipients = "<To><Number>+4917012345</Number></To>";
    std::string sender = "<SenderIdentification><VASPID>vasp</VASPID></SenderIdentification>";
    std::string extra_submit;  // further SubmitReq elements
    std::string subject = "Hello";
    std::string content_href = "cid:mms_cid";
    std::string outer_boundary = "outer-boundary-1";
    std::string inner_boundary = "inner-boundary-2";
    std::string smil_id = "<smil_part>";
    std::vector<test_part> parts;
    std::vector<std::string> extra_headers;  // e.g. "x-expect: 103-early-hints"
};

inline std::string submit_envelope(const test_submission& s) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
           "<env:Envelope xmlns:env=\"http://schemas.xmlsoap.org/soap/envelope/\">\r\n"
           "<env:Header><mm7:TransactionID xmlns:mm7=\"http://www.3gpp.org/ftp/Specs/archive/"
           "23_series/23.140/schema/REL-5-MM7-1-2\" env:mustUnderstand=\"1\">" +
           s.transaction_id +
           "</mm7:TransactionID></env:Header>\r\n"
           "<env:Body><SubmitReq xmlns=\"http://www.3gpp.org/ftp/Specs/archive/23_series/23.140/"
           "schema/REL-5-MM7-1-2\">\r\n<MM7Version>5.3.0</MM7Version>\r\n" +
           s.sender + "\r\n<Recipients>" + s.recipients +
           "</Recipients>\r\n<MessageClass>Personal</MessageClass>\r\n"
           "<Priority>High</Priority>\r\n<Subject>" +
           s.subject + "</Subject>\r\n" + s.extra_submit + "<Content href=\"" + s.content_href +
           "\" allowAdaptations=\"true\"/>\r\n</SubmitReq></env:Body></env:Envelope>";
}

// The whole HTTP request.
inline std::string submit_request(const test_submission& s) {
    std::string inner;
    for (const test_part& p : s.parts) {
        inner += "--" + s.inner_boundary + "\r\nContent-Type: " + p.content_type +
                 "\r\nContent-ID: " + p.content_id + "\r\n";
        if (!p.transfer_encoding.empty()) {
            inner += "Content-Transfer-Encoding: " + p.transfer_encoding + "\r\n";
        }
        if (!p.location.empty()) {
            inner += "Content-Location: " + p.location + "\r\n";
        }
        inner += "\r\n" + p.body + "\r\n";
    }
    inner += "--" + s.inner_boundary + "--\r\n";
    std::string body =
        "--" + s.outer_boundary +
        "\r\nContent-Type: text/xml; charset=\"utf-8\"\r\nContent-ID: <mm7_env>\r\n\r\n" +
        submit_envelope(s) + "\r\n--" + s.outer_boundary +
        "\r\nContent-Type: multipart/related; boundary=\"" + s.inner_boundary + "\"; start=\"" +
        s.smil_id + "\"; type=\"application/smil\"\r\nContent-ID: <mms_cid>\r\n\r\n" + inner +
        "\r\n--" + s.outer_boundary + "--\r\n";
    std::string head =
        "POST /mm7 HTTP/1.1\r\nHost: 127.0.0.1\r\nSOAPAction: \"\"\r\n"
        "Content-Type: multipart/related; boundary=\"" +
        s.outer_boundary + "\"; type=\"text/xml\"; start=\"<mm7_env>\"\r\nContent-Length: " +
        std::to_string(body.size()) + "\r\n";
    for (const std::string& h : s.extra_headers) {
        head += h + "\r\n";
    }
    return head + "\r\n" + body;
}

// A submission with a SMIL part, a text part and a small base64 image.
inline test_submission sample_submission() {
    test_submission s;
    s.parts.push_back(
        {"application/smil", "<smil_part>",
         "<smil><body><par><img src=\"img.gif\"/><text src=\"t.txt\"/></par></body></smil>", "",
         "smil.xml"});
    s.parts.push_back({"text/plain; charset=utf-8", "<t.txt>", "Hello from the VASP\r\nline two",
                       "8bit", "t.txt"});
    // A 1x1 GIF, base64 with a line break inside.
    s.parts.push_back({"image/gif", "<img.gif>",
                       "R0lGODlhAQABAIAAAP///wAAACH5BAEAAAAALAAAAAABAAEAAAICRAEAOw==", "base64",
                       "img.gif"});
    return s;
}
