#include "batch/engine.hpp"
#include "tests/batch/batch_fixture.hpp"

namespace zolt::testing {
namespace {

using ConvertRowTest = BatchTest;

TEST_F(ConvertRowTest, RequestIsThePrefixFollowedByTheRawAddress) {
    struct Case {
        int service;
        Text source;
        std::string target;
    };
    const Case cases[] = {
        {0, "http://a.example/x?y=1&z=2", "/_app.php?type=text&url=http://a.example/x?y=1&z=2"},
        {3, "http://b.example/%41", "/api/dwzapi.php?by=dwz126&long=http://b.example/%41"},
        {11, "", "/api/dwzapi.php?by=rluru&long="},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        gateway.reset();
        set_request_prefix(c.service);
        window.data_list().clear_rows();
        window.add_rows({c.source});
        engine.state().active_workers.store(1);
        convert_row(engine, 1);
        ASSERT_EQ(gateway.server().request_count(), 1u);
        const RecordedRequest request = gateway.server().requests()[0];
        EXPECT_EQ(request.method, "GET");
        EXPECT_EQ(request.target, c.target);
        EXPECT_EQ(cell(1, kColumnStatus), kDone);
        EXPECT_EQ(engine.state().active_workers.load(), 0);
    }
}

TEST_F(ConvertRowTest, AnswerIsWrittenAsTheGatewaySentIt) {
    struct Case {
        const char* name;
        ScriptedReply reply;
        Text expected;
    };
    ScriptedReply down;
    down.raw = "";
    down.ending = Ending::reset;
    ScriptedReply error_status = ScriptedReply::text("no such service");
    error_status.status = 500;
    const Case cases[] = {
        {"short link", ScriptedReply::text("http://z.example/1"), "http://z.example/1"},
        {"white space kept", ScriptedReply::text("http://z.example/2 \r\n\t "),
         "http://z.example/2 \r\n\t "},
        {"declared UTF-8 arrives as GBK",
         ScriptedReply::text("\xE7\x9F\xAD\xE9\x93\xBE",
                             {"Content-Type: text/plain; charset=UTF-8"}),
         "\xB6\xCC\xC1\xB4"},  // 短链
        {"GBK passes unchanged", ScriptedReply::text("\xB6\xCC\xC1\xB4"), "\xB6\xCC\xC1\xB4"},
        {"error body", error_status, "no such service"},
        {"gateway down", down, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        gateway.reset();
        gateway.set_handler([reply = c.reply](const RecordedRequest&) { return reply; });
        window.data_list().clear_rows();
        window.add_rows({"http://example.com/long"});
        // A converted row converted again loses its earlier answer, even to an empty one.
        window.data_list().write_cell(0, kColumnResult, "earlier answer");
        engine.state().active_workers.store(1);
        convert_row(engine, 1);
        EXPECT_EQ(cell(1, kColumnResult), c.expected);
        EXPECT_EQ(cell(1, kColumnStatus), kDone);
        EXPECT_EQ(engine.state().active_workers.load(), 0);
    }
}

TEST_F(ConvertRowTest, RowThatIsGoneStillSendsAndCountsOut) {
    engine.state().active_workers.store(1);
    convert_row(engine, 7);
    EXPECT_EQ(gateway.server().request_count(), 1u);
    EXPECT_EQ(window.data_list().row_count(), 0);
    EXPECT_EQ(engine.state().active_workers.load(), 0);
}

}  // namespace
}  // namespace zolt::testing
