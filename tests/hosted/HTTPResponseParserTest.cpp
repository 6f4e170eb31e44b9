// The answer reader of the hosted client: framing, interim answers, the
// bound on the head, and malformed answers, fed whole and byte by byte.

#include "hosted/HTTPResponseParser.h"

#include <gtest/gtest.h>

using namespace tovrik;

namespace {

struct Read {
    bool ok = false;        // fed without failure
    bool complete = false;  // after finish() when `close`
    int status = 0;
    QByteArray body;
    qsizetype consumed = 0;
    bool reusable = false;
    QString error;
};

Read readAnswer(const QByteArray& bytes, bool close, bool bytewise, const QByteArray& method = "GET")
{
    HTTPResponseParser parser(method);
    Read r;
    r.ok = true;
    for (qsizetype at = 0; r.ok && at < bytes.size() && !parser.isComplete();) {
        const qsizetype size = bytewise ? 1 : bytes.size() - at;
        qsizetype consumed = 0;
        r.ok = parser.feed(bytes.constData() + at, size, &r.body, &consumed);
        at += consumed;
        r.consumed = at;
    }
    r.complete = r.ok && (close ? parser.finish() : parser.isComplete());
    r.status = parser.headComplete() ? parser.head().status : 0;
    r.reusable = parser.connectionReusable();
    r.error = parser.error();
    return r;
}

} // namespace

TEST(HTTPResponseParser, FramesTheBodyTheSameWayWholeOrByteByByte)
{
    struct Case {
        const char* name;
        QByteArray bytes;
        bool close; // the connection closes after the bytes
        QByteArray method;
        int status;
        QByteArray body;
        bool reusable;
    };
    const Case cases[] = {
        {"length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhelloEXTRA", false, "GET", 200, "hello", true},
        {"chunked, extension, trailer", "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n"
                                        "3;x=1\r\nabc\r\nA\r\n0123456789\r\n0\r\nX-Sum: 1\r\n\r\n",
         false, "GET", 200, "abc0123456789", true},
        {"lone LF line ends", "HTTP/1.1 201 Created\nContent-Length: 2\n\nok", false, "GET", 201, "ok", true},
        {"until close", "HTTP/1.1 200 OK\r\n\r\nall of it", true, "GET", 200, "all of it", false},
        {"interim answers first", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\n"
                                  "HTTP/1.1 404 Not Found\r\nContent-Length: 1\r\n\r\nx",
         false, "GET", 404, "x", true},
        {"no body: 204", "HTTP/1.1 204 No Content\r\nContent-Length: 7\r\n\r\n", false, "GET", 204, "", true},
        {"no body: HEAD", "HTTP/1.1 200 OK\r\nContent-Length: 7\r\n\r\n", false, "HEAD", 200, "", true},
        {"Connection: close", "HTTP/1.1 200 OK\r\nConnection: keep-alive, Close\r\nContent-Length: 0\r\n\r\n",
         false, "GET", 200, "", false},
        {"HTTP/1.0", "HTTP/1.0 200\r\nContent-Length: 0\r\n\r\n", false, "GET", 200, "", false},
    };
    for (const Case& c : cases) {
        for (bool bytewise : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (bytewise ? ", byte by byte" : ", whole"));
            const Read r = readAnswer(c.bytes, c.close, bytewise, c.method);
            EXPECT_TRUE(r.complete) << r.error.toStdString();
            EXPECT_EQ(std::make_tuple(r.status, r.body, r.reusable), std::make_tuple(c.status, c.body, c.reusable));
        }
    }
    // Bytes after a complete answer are left alone.
    EXPECT_EQ(readAnswer(cases[0].bytes, false, false).consumed, cases[0].bytes.size() - 5);
}

TEST(HTTPResponseParser, AHeadOver64KiBAndMalformedAnswersFail)
{
    const QByteArray status = "HTTP/1.1 200 OK\r\n";
    // Status line and fields of exactly 64 KiB (the empty line included).
    const QByteArray pad = "X-Pad: " + QByteArray(HTTPResponseParser::maximumHeadBytes - status.size() - 11, 'p') + "\r\n";
    const QByteArray exact = status + pad + "\r\n";
    ASSERT_EQ(exact.size(), HTTPResponseParser::maximumHeadBytes);
    EXPECT_TRUE(readAnswer(exact, true, false).complete);
    // Interim answers count towards the same bound.
    const QByteArray interim = "HTTP/1.1 100 Continue\r\n\r\n";
    struct Case {
        const char* name;
        QByteArray bytes;
        bool close;
    };
    const Case cases[] = {
        {"one byte over", status + "X-Pad: p" + pad.mid(7) + "\r\n", false},
        {"endless line", status + "X-Flood: " + QByteArray(200 * 1024, 'a'), false},
        {"endless fields", status + QByteArray("X-Flood: b\r\n").repeated(20000), false},
        {"interim and a full head", interim + exact, false},
        {"endless trailers", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n"
                                 + QByteArray("T: x\r\n").repeated(20000), false},
        {"endless chunk extension", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1;" + QByteArray(8192, 'e'), false},
        {"not HTTP", "SSH-2.0-OpenSSH\r\n\r\n", false},
        {"status of two digits", "HTTP/1.1 20 OK\r\n\r\n", false},
        {"folded line without a field before it", status + "  more\r\n\r\n", false},
        {"field without a name", status + ": x\r\n\r\n", false},
        {"space in a name", status + "Content Length: 1\r\n\r\n", false},
        {"two lengths", status + "Content-Length: 1\r\nContent-Length: 2\r\n\r\nab", false},
        {"negative length", status + "Content-Length: -1\r\n\r\n", false},
        {"bad chunk size", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", false},
        {"chunk without its line end", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nab\r\n", false},
        {"protocol switch", "HTTP/1.1 101 Switching Protocols\r\n\r\n", false},
        {"closed before an answer", "", true},
        {"closed inside the head", status + "X-A: 1\r\n", true},
        {"closed inside the body", status + "Content-Length: 10\r\n\r\nshort", true},
        {"closed inside a chunk", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab", true},
    };
    for (const Case& c : cases) {
        for (bool bytewise : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (bytewise ? ", byte by byte" : ", whole"));
            const Read r = readAnswer(c.bytes, c.close, bytewise);
            EXPECT_FALSE(r.complete);
            EXPECT_FALSE(r.error.isEmpty());
        }
    }
}

TEST(HTTPResponseParser, AFoldedFieldIsUnfoldedToOneSpace)
{
    const QByteArray bytes = "HTTP/1.1 200 OK\r\nX-A: one\r\n  two\r\n\tthree \r\nContent-Type: text/plain;\r\n charset=utf-8\r\n"
                             "Content-Length: 2\r\n\r\nok";
    for (bool bytewise : {false, true}) {
        HTTPResponseParser parser;
        QByteArray body;
        if (bytewise) {
            for (char c : bytes)
                ASSERT_TRUE(parser.feed(&c, 1, &body));
        } else {
            ASSERT_TRUE(parser.feed(bytes.constData(), bytes.size(), &body));
        }
        EXPECT_TRUE(parser.isComplete());
        EXPECT_EQ(parser.head().field("X-A"), "one two three");
        EXPECT_EQ(parser.head().field("Content-Type"), "text/plain; charset=utf-8");
        EXPECT_EQ(body, "ok");
    }
}
