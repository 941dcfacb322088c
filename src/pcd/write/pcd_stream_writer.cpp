#include "pcd/write/pcd_stream_writer.hpp"

#include <sys/stat.h>

#include <span>
#include <stdexcept>
#include <utility>

#include "pcd/io/file_name_check.hpp"
#include "pcd/io/interruption.hpp"
#include "pcd/parallel/ordered_pieces.hpp"
#include "pcd/write/ascii_encoder.hpp"
#include "pcd/write/binary_encoder.hpp"
#include "pcd/write/cloud_checks.hpp"
#include "pcd/write/compressed_encoder.hpp"
#include "pcd/write/header_text.hpp"

namespace tessarel {
namespace {

// The fields as the encoding writes them, so that the reference reader reads every file back
// as saved. In binary_compressed it expects no column for padding fields named `_` (and
// misplaces every column after one), so they are left out. In ascii a float32 `rgb` or `rgba`
// is a packed colour, often a NaN bit pattern that text would lose: it is written as U 4, its
// bits, as the reference writer writes it.
CloudToWrite as_encoded(const CloudToWrite& cloud) {
    CloudToWrite encoded = cloud;
    if (cloud.encoding == Encoding::binary_compressed) {
        std::vector<FieldLayout> fields;
        encoded.values.clear();
        for (std::size_t i = 0; i < cloud.record.fields.size(); ++i) {
            if (cloud.record.fields[i].name == padding_name) continue;
            fields.push_back(cloud.record.fields[i]);
            encoded.values.push_back(cloud.values[i]);
        }
        encoded.record = lay_out(std::move(fields));
    }
    if (cloud.encoding == Encoding::ascii) {
        for (FieldLayout& field : encoded.record.fields) {
            const bool colour = field.name == "rgb" || field.name == "rgba";
            if (colour && field.type == ElementType::f32) field.type = ElementType::u32;  // as wide: offsets stay
        }
    }
    return encoded;
}

// An ascii part's text handed to the writing thread is cut into this many pieces at least,
// when it takes several CPUs, so that they run out of pieces together: each part of a map ends
// a stage, where a save of the whole map ends one. A 100-write map took 1.08 of a save so,
// 1.10 with a part's usual 7 pieces.
constexpr std::size_t least_part_pieces = 32;

// An ascii part of this many pieces of a MiB is written as a save writes it, its pieces from
// where they were made: its stage is long enough that its ends cost little, and copying its
// text for the writing thread cost more. Maps of 10 to 40 parts took 1.03-1.06 of a save so,
// 1.12-1.29 handed over.
constexpr std::size_t whole_part_pieces = 8;

// The pieces the data section is made in on several CPUs; binary counts its own stage.
std::size_t data_pieces(const CloudToWrite& cloud) {
    switch (cloud.encoding) {
    case Encoding::ascii: return ascii_pieces(cloud, 1);
    case Encoding::binary: return 0;
    case Encoding::binary_compressed: return compressed_pieces(cloud);
    }
    return 0;
}

// The data section of `cloud` after the header, which ends at `offset`. A section made on
// several CPUs is counted as a large stage while it is made.
void write_data(const CloudToWrite& cloud, AtomicFile& file, std::uint64_t offset) {
    const LargeStage stage(data_pieces(cloud) >= parallel_save_pieces);
    switch (cloud.encoding) {
    case Encoding::ascii: write_ascii_data(cloud, file, stage.share()); break;
    case Encoding::binary: write_binary_data(cloud, file); break;
    case Encoding::binary_compressed: write_compressed_data(cloud, file, offset, stage.share()); break;
    }
}

void write_text(AtomicFile& file, const std::string& text) { file.write(std::as_bytes(std::span(text))); }

std::string names_of(const RecordLayout& record) {
    std::string names;
    for (const FieldLayout& field : record.fields) names += (names.empty() ? "" : " ") + field.name;
    return names;
}

std::string type_of(const FieldLayout& field) {
    return std::string("TYPE ") + entry_of(field.type).type + " SIZE " + std::to_string(field.element_bytes()) +
           " COUNT " + std::to_string(field.count);
}

// Every part has the first part's fields, in its order, each of the same type and count:
// the x, y and z of `points` and those given as fields among them.
void check_same_fields(const RecordLayout& first, const RecordLayout& part) {
    if (names_of(first) != names_of(part)) {
        throw std::invalid_argument("this write's fields are '" + names_of(part) + "', the first write's '" +
                                    names_of(first) + "': every write has the first write's fields, in its order");
    }
    for (std::size_t i = 0; i < first.fields.size(); ++i) {
        const FieldLayout& was = first.fields[i];
        const FieldLayout& is = part.fields[i];
        if (was.type != is.type || was.count != is.count) {
            throw std::invalid_argument("field '" + is.name + "' is " + type_of(is) + " in this write, " +
                                        type_of(was) +
                                        " in the first: every write keeps the first write's types "
                                        "and counts");
        }
    }
}

// A target that cannot seek takes the header once, as it stands: only a writer that knows its
// total first, or that writes everything at the end, can write to it.
bool writes_header_once(const StreamSettings& settings) {
    return settings.points || settings.encoding == Encoding::binary_compressed;
}

std::invalid_argument cannot_seek(const std::string& filename) {
    return std::invalid_argument("'" + filename +
                                 "' cannot seek (a pipe, FIFO or terminal), and a file written a part at a time "
                                 "gets its point count in the header last: write it to a file, or as "
                                 "binary_compressed");
}

// `filename`, unless it names a FIFO that the header cannot be rewritten in: opening it would
// wait for a reader, only to be refused then.
const std::string& openable(const std::string& filename, const StreamSettings& settings) {
    check_file_name(filename);
    struct stat entry{};
    const bool fifo = ::stat(filename.c_str(), &entry) == 0 && S_ISFIFO(entry.st_mode);
    if (fifo && !writes_header_once(settings)) throw cannot_seek(filename);
    return filename;
}

}  // namespace

PcdStreamWriter::PcdStreamWriter(const std::string& filename, const StreamSettings& settings)
    : settings_(settings), file_(openable(filename, settings)) {
    if (!file_.seekable() && !writes_header_once(settings)) throw cannot_seek(filename);
}

// What the cloud's header says once `points` are written.
CloudToWrite PcdStreamWriter::whole(std::size_t points) const {
    CloudToWrite cloud;
    cloud.record = encoded_;
    cloud.points = points;
    cloud.height = settings_.height;
    cloud.width = settings_.height == 0 ? 0 : points / settings_.height;
    cloud.viewpoint = settings_.viewpoint;
    cloud.encoding = settings_.encoding;
    return cloud;
}

// The header, at the first part. binary_compressed writes it with its first part's columns.
void PcdStreamWriter::begin(const RecordLayout& encoded) {
    encoded_ = encoded;
    if (settings_.encoding == Encoding::binary_compressed) return;
    if (settings_.points) return write_text(file_, header_text(whole(*settings_.points)));
    write_reserved_header();
}

void PcdStreamWriter::write_reserved_header() {
    const std::string header = header_text(whole(0), CountText::reserved);
    write_text(file_, header);
    header_bytes_ = header.size();
}

void PcdStreamWriter::rewrite_header(const CloudToWrite& counts) {
    const std::string header = header_text(counts, CountText::reserved);
    if (header.size() != header_bytes_) throw std::logic_error("the rewritten header changed its length");
    file_.write_at(0, std::as_bytes(std::span(header)));
}

// A file that can seek takes the header with reserved counts and the block's sizes now, to be
// rewritten at the end, and the first column as it is encoded; one that cannot takes it all at
// the end.
void PcdStreamWriter::start_columns() {
    const bool first_to_file = file_.seekable();
    if (first_to_file) {
        write_reserved_header();
        const std::byte unknown[8]{};
        file_.write(unknown);
    }
    columns_ = std::make_unique<CompressedStream>(encoded_, file_, first_to_file);
}

// A part of a map written scan by scan: its records or text are made on the caller's thread
// (and its helpers) and written on another while the caller goes on, as a large save's are,
// handed over a few MiB at a time. Binary records too many to hold at once, and text of many
// pieces, are written as a save writes them.
void PcdStreamWriter::write_part_behind(const CloudToWrite& encoded) {
    if (!background_) background_.emplace(file_);
    if (encoded.encoding == Encoding::ascii) return write_text_part(encoded);
    const std::size_t bytes = encoded.points * encoded.record.point_step;
    if (bytes > background_write_bytes) {
        background_->finish();
        return write_data(encoded, file_, 0);
    }
    std::vector<std::byte> records = background_->buffer(bytes);
    gather_binary_data(encoded, records);
    background_->write(std::move(records));
}

void PcdStreamWriter::write_text_part(const CloudToWrite& encoded) {
    const std::size_t pieces = ascii_pieces(encoded, 1);
    const bool large = pieces >= parallel_save_pieces;
    const LargeStage stage(large);
    if (pieces >= whole_part_pieces) {
        background_->finish();
        return write_ascii_data(encoded, file_, stage.share(), text_pieces_);
    }
    std::vector<std::byte> text = background_->buffer(0);
    const PieceSink hand_over = [&](std::span<const std::byte> piece) {
        text.insert(text.end(), piece.begin(), piece.end());
        if (text.size() < background_write_bytes / 2) return;
        background_->write(std::move(text));
        text = background_->buffer(0);
    };
    make_ascii_text(encoded, large ? least_part_pieces : 1, hand_over, stage.share(), text_pieces_);
    background_->write(std::move(text));
}

void PcdStreamWriter::write(const CloudToWrite& part_given) {
    CloudToWrite part = part_given;
    part.encoding = settings_.encoding;
    part.viewpoint = settings_.viewpoint;
    const CloudToWrite encoded = as_encoded(part);
    if (fields_) check_same_fields(*fields_, part.record);
    CloudToWrite so_far = encoded;  // the checks of a file of every point written, these included
    so_far.points = points_ + part.points;
    so_far.width = so_far.points;
    so_far.height = 1;
    check_cloud_to_write(so_far);
    const bool first = !fields_;
    if (first) {
        begin(encoded.record);
        fields_ = part.record;
    }
    if (settings_.encoding != Encoding::binary_compressed && !settings_.points) {
        write_part_behind(encoded);
    } else if (settings_.encoding != Encoding::binary_compressed) {
        write_data(encoded, file_, 0);
    } else if (first && settings_.points == part.points) {
        // The whole cloud in one part, as save_pcd writes it: encoded from the caller's arrays.
        const std::string header = header_text(whole(part.points));
        write_text(file_, header);
        write_data(encoded, file_, header.size());
        section_written_ = true;
    } else {
        if (!columns_) start_columns();
        columns_->add(encoded);
    }
    points_ += part.points;
}

void PcdStreamWriter::complete_compressed(const CloudToWrite& counts) {
    if (!columns_) start_columns();
    const std::uint64_t compressed = columns_->finish();
    // Every record's bytes, as columns.
    const auto sizes = section_sizes(compressed, std::uint64_t{counts.points} * counts.record.point_step);
    if (header_bytes_ == 0) {
        write_text(file_, header_text(counts));
        file_.write(sizes);
        return columns_->write_kept();
    }
    file_.write_at(header_bytes_, sizes);
    rewrite_header(counts);
}

void PcdStreamWriter::complete() {
    const std::uint64_t height = settings_.height;
    if (height == 0 ? points_ != 0 : points_ % height != 0) {
        throw std::invalid_argument("the " + std::to_string(points_) + " points written do not fill rows of " +
                                    "HEIGHT " + std::to_string(height) + ": the total must be a multiple of it");
    }
    if (settings_.points && *settings_.points != points_) {
        throw std::logic_error("a stream announced " + std::to_string(*settings_.points) + " points and wrote " +
                               std::to_string(points_));
    }
    if (!fields_) {
        // Nothing written: the x, y and z of no points.
        begin(lay_out({{"x", ElementType::f32, 1}, {"y", ElementType::f32, 1}, {"z", ElementType::f32, 1}}));
    }
    if (background_) background_->finish();
    const CloudToWrite counts = whole(points_);
    if (settings_.encoding == Encoding::binary_compressed && !section_written_) {
        complete_compressed(counts);
    } else if (header_bytes_ != 0) {
        rewrite_header(counts);
    }
    check_for_interruption_now();  // a file stopped at its very end leaves the target as it was too
    file_.commit();
}

}  // namespace tessarel
