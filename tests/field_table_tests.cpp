// The field table is what a host sees when it lists the columns: a changed name, type or order
// silently breaks every saved column set of every user, so each row is pinned here.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "../plugin/contplug.h"
#include "FB2_Info.h"

namespace {

TEST(field_table, interface_codes_are_the_hosts_numbers) {
    struct Code {
        const char *label;
        int value;
        int expected;
    };
    const Code rows[] = {
        {"fld_nomore", fld_nomore, 0},          {"fld_numeric32", fld_numeric32, 1}, {"fld_string", fld_string, 8},
        {"fld_widestring", fld_widestring, 11}, {"fld_empty", fld_empty, -3},
    };
    for (const Code &row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(row.value, row.expected);
    }
}

TEST(field_table, has_six_rows) { EXPECT_EQ(ContentFieldCount, 6); }

TEST(field_table, rows_are_as_published) {
    struct Row {
        const char *name;
        int32_t type;
        const char16_t *query;
    };
    const Row rows[] = {
        {"genre", 11, u"/FictionBook/description/title-info/genre[0]"},
        {"aut_f", 11, u"/FictionBook/description/title-info/author[0]/first-name"},
        {"aut_l", 11, u"/FictionBook/description/title-info/author[0]/last-name"},
        {"title", 11, u"/FictionBook/description/title-info/book-title"},
        {"seq", 11, u"/FictionBook/description/title-info/sequence/@name"},
        {"seq_n", 1, u"/FictionBook/description/title-info/sequence/@number"},
    };
    static_assert(std::size(rows) == ContentFieldCount);
    for (int32_t i = 0; i < ContentFieldCount; ++i) {
        const Row &want = rows[i];
        const ContentField &got = ContentFields[i];
        SCOPED_TRACE("row " + std::to_string(i) + " " + want.name);
        ASSERT_NE(got.f_name, nullptr);
        EXPECT_STREQ(got.f_name, want.name);
        // an empty list, not a missing one: the host copies it as a lone NUL
        ASSERT_NE(got.f_unit, nullptr);
        EXPECT_STREQ(got.f_unit, "");
        EXPECT_EQ(got.f_type, want.type);
        ASSERT_NE(got.f_xpath, nullptr);
        EXPECT_EQ(std::u16string(got.f_xpath), std::u16string(want.query));
    }
}

TEST(field_table, only_the_last_row_is_a_number) {
    for (int32_t i = 0; i < ContentFieldCount; ++i) {
        SCOPED_TRACE("row " + std::to_string(i));
        // strings are declared wide in the table itself; only the ANSI entry point reports 8
        EXPECT_EQ(ContentFields[i].f_type, i == 5 ? fld_numeric32 : fld_widestring);
        EXPECT_NE(ContentFields[i].f_type, fld_string);
    }
}

TEST(field_table, an_empty_record_has_no_values) {
    const FB2TitleInfo info;
    const int32_t indexes[] = {0, 1, 2, 3, 4, 5, 6, 7, -1, -6, INT_MAX, INT_MIN};
    for (const int32_t index : indexes) {
        SCOPED_TRACE("index " + std::to_string(index));
        EXPECT_TRUE(info.GetFieldData(index).empty());
    }
}

} // namespace
