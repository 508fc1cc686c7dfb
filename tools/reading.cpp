#include "reading.h"

#include <memory>
#include <new>

#include "../plugin/contplug.h"
#include "FB2_Info.h"
#include "error.h"
#include "text.h"

namespace reading {

Result read(const std::u16string *file, std::string_view document) {
    Result result;
    try {
        const auto info = file ? std::make_unique<FB2TitleInfo>(*file) : std::make_unique<FB2TitleInfo>();
        if (!file) info->fill_from_document(document);
        for (int32_t i = 0; i < ContentFieldCount; ++i) {
            const auto data = info->GetFieldData(i);
            Field f;
            if (data.empty()) {
            } else if (ContentFields[i].f_type == fld_numeric32) { // 4 bytes, little-endian
                uint32_t u = 0;
                for (int k = 0; k < 4; ++k) u |= std::to_integer<uint32_t>(data[k]) << (8 * k);
                f.kind = Field::Kind::number;
                f.number = static_cast<int32_t>(u);
            } else { // UTF-16 units, little-endian, and a NUL
                f.kind = Field::Kind::text;
                for (size_t k = 0; k + 3 < data.size(); k += 2)
                    f.text.push_back(static_cast<char16_t>(std::to_integer<unsigned>(data[k]) |
                                                           std::to_integer<unsigned>(data[k + 1]) << 8));
            }
            result.fields.push_back(std::move(f));
        }
    } catch (const ReadError &e) {
        result.failure = text::valid_utf8(e.what());
        result.fields.clear();
    } catch (const std::bad_alloc &) {
        result.failure = "out of memory";
        result.fields.clear();
    } catch (const std::exception &e) {
        result.failure = "internal error (a fault of tovrel, not of the book): " + text::valid_utf8(e.what());
        result.fields.clear();
    } catch (...) {
        result.failure = "internal error (a fault of tovrel, not of the book)";
        result.fields.clear();
    }
    return result;
}

bool fields_are_the_readers(const std::vector<std::pair<std::string, int32_t>> &fields) {
    if (fields.size() != static_cast<size_t>(ContentFieldCount)) return false;
    for (int32_t i = 0; i < ContentFieldCount; ++i)
        if (fields[i].first != ContentFields[i].f_name || fields[i].second != ContentFields[i].f_type) return false;
    return true;
}

} // namespace reading
