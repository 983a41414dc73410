#include "tests/support/tool_files.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "tests/support/process.hpp"

namespace lk::test {

namespace fs = std::filesystem;

namespace {

// The Python modules are Debian's python3-* packages: they belong to the
// system's interpreter, which another python3 earlier in PATH would not see.
std::string python() {
    return fs::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
}

// Debian's ImageMagick 6 under its own name; the plain "convert" is an
// alternatives link that other programs may shadow.
std::optional<fs::path> imagemagick() {
    if (auto p = find_program("convert-im6.q16")) return p;
    return find_program("convert");
}

bool have_python_module(const std::string& module) {
    static std::map<std::string, bool> known;
    auto it = known.find(module);
    if (it == known.end())
        it = known.emplace(module, run_process({python(), "-c", "import " + module}).ok()).first;
    return it->second;
}

constexpr ToolFileInfo kInfo[] = {
    {"docx", "DOC", "python3-docx"},
    {"xlsx", "XLS", "python3-openpyxl"},
    {"pptx", "PPT", "libreoffice-impress"},
    {"odt", "ODT", "python3-odf"},
    {"ods", "ODS", "python3-odf"},
    {"odp", "ODP", "python3-odf"},
    {"zip_deflated", "ZIP", "python3"},
    {"zip_nested", "ZIP", "python3"},
    {"zip_pipe", "ZIP", "zip"},
    {"zip64", "ZIP", "zip"},
    {"zip_aligned", "ZIP", "python3"},
    {"png", "PNG", "imagemagick"},
    {"gif87a", "GIF", "imagemagick"},
    {"gif89a", "GIF", "imagemagick"},
    {"bmp", "BMP", "imagemagick"},
    {"bmp_rle8", "BMP", "imagemagick"},
    {"psd", "PSD", "imagemagick"},
    {"psd_raw", "PSD", "imagemagick"},
    {"tiff", "TIF", "imagemagick"},
    {"heic", "HEI", "libheif-examples"},
    {"avif", "AVF", "libheif-examples"},
};

// Each script writes argv[1]; argv[2] is the variant. Names, dates and texts
// are fixed so that a file depends on its variant alone.
constexpr const char* kDocx = R"(
import sys, docx
v = int(sys.argv[2]); d = docx.Document()
d.add_heading('Card report %d' % v, 0)
for i in range(40 + 10 * v): d.add_paragraph('Paragraph %d of the recovered card, variant %d.' % (i, v))
d.core_properties.created = d.core_properties.modified = __import__('datetime').datetime(2021, 6, 15)
d.save(sys.argv[1])
)";
constexpr const char* kXlsx = R"(
import sys, openpyxl, datetime
v = int(sys.argv[2]); wb = openpyxl.Workbook(); ws = wb.active
for r in range(1, 80 + 10 * v): ws.append([r, r * r + v, 'row %d' % r])
wb.properties.created = wb.properties.modified = datetime.datetime(2021, 6, 15)
wb.save(sys.argv[1])
)";
constexpr const char* kOdt = R"(
import sys
from odf.opendocument import OpenDocumentText
from odf.text import P
v = int(sys.argv[2]); doc = OpenDocumentText()
for i in range(40 + 10 * v): doc.text.addElement(P(text='Line %d of the recovered card, variant %d.' % (i, v)))
doc.save(sys.argv[1])
)";
constexpr const char* kOds = R"(
import sys
from odf.opendocument import OpenDocumentSpreadsheet
from odf.table import Table, TableRow, TableCell
from odf.text import P
v = int(sys.argv[2]); doc = OpenDocumentSpreadsheet(); t = Table(name='Sheet1')
for r in range(40 + 10 * v):
    row = TableRow(); t.addElement(row)
    for c in range(3):
        cell = TableCell(); cell.addElement(P(text=str(r * c + v))); row.addElement(cell)
doc.spreadsheet.addElement(t); doc.save(sys.argv[1])
)";
constexpr const char* kOdp = R"(
import sys
from odf.opendocument import OpenDocumentPresentation
from odf.style import MasterPage, PageLayout, PageLayoutProperties
from odf.draw import Page, Frame, TextBox
from odf.text import P
v = int(sys.argv[2]); doc = OpenDocumentPresentation()
layout = PageLayout(name='Layout')
layout.addElement(PageLayoutProperties(pagewidth='28cm', pageheight='21cm', printorientation='landscape'))
doc.automaticstyles.addElement(layout)
master = MasterPage(name='Default', pagelayoutname=layout); doc.masterstyles.addElement(master)
for s in range(3 + v):
    page = Page(masterpagename=master); doc.presentation.addElement(page)
    frame = Frame(width='20cm', height='3cm', x='2cm', y='2cm'); page.addElement(frame)
    box = TextBox(); frame.addElement(box); box.addElement(P(text='Slide %d of variant %d' % (s, v)))
doc.save(sys.argv[1])
)";
constexpr const char* kZipDeflated = R"(
import sys, zipfile
v = int(sys.argv[2])
with zipfile.ZipFile(sys.argv[1], 'w') as z:
    for i in range(6):
        info = zipfile.ZipInfo('notes/file%d.txt' % i, date_time=(2021, 6, 15, 12, 34, 56))
        info.compress_type = zipfile.ZIP_DEFLATED
        z.writestr(info, ''.join('entry %d line %d variant %d\n' % (i, k, v) for k in range(300)))
)";
constexpr const char* kZipNested = R"(
import sys, io, zipfile
v = int(sys.argv[2])
def stored(z, name, data):
    z.writestr(zipfile.ZipInfo(name, date_time=(2021, 6, 15, 12, 34, 56)), data)
inner = io.BytesIO()
with zipfile.ZipFile(inner, 'w') as z:
    stored(z, 'inner.txt', 'inner archive, variant %d\n' % v * 200)
    z.comment = b'the inner comment'
with zipfile.ZipFile(sys.argv[1], 'w') as z:
    stored(z, 'first.txt', 'outer archive, variant %d\n' % v * 100)
    stored(z, 'inner.zip', inner.getvalue())
    z.comment = b'the outer comment, after the end record'
)";

// On a card with clusters of 4 KiB or less, the second entry's local header
// starts a cluster.
constexpr const char* kZipAligned = R"(
import sys, zipfile
v = int(sys.argv[2])
def stored(z, name, data):
    z.writestr(zipfile.ZipInfo(name, date_time=(2021, 6, 15, 12, 34, 56)), data)
with zipfile.ZipFile(sys.argv[1], 'w') as z:
    stored(z, 'a.txt', ('first entry, variant %d ' % v * 200)[:4096 - 30 - len('a.txt')])
    stored(z, 'b.txt', 'second entry, variant %d\n' % v * 300)
    stored(z, 'c.txt', 'third entry\n' * 100)
)";

std::vector<std::uint8_t> run_python(const char* script, const TempDir& dir, const std::string& out,
                                     unsigned variant) {
    run_checked({python(), "-c", script, (dir / out).string(), std::to_string(variant)});
    return read_whole(dir / out);
}

// Three text files for Info-ZIP to pack.
void write_inputs(const TempDir& dir, unsigned variant) {
    for (int i = 0; i < 3; ++i) {
        std::ofstream f(dir / ("f" + std::to_string(i) + ".txt"));
        for (int k = 0; k < 2000; ++k)
            f << "file " << i << " line " << k << " variant " << variant << "\n";
    }
}

std::vector<std::uint8_t> info_zip(const TempDir& dir, unsigned variant, bool zip64) {
    write_inputs(dir, variant);
    const std::string d = dir.path().string();
    if (zip64)
        run_checked({"sh", "-c", "cd '" + d + "' && zip -q -X -fz out.zip f0.txt f1.txt f2.txt"});
    else  // to a pipe: no seeking back, so sizes follow each entry's data
        run_checked(
            {"sh", "-c", "cd '" + d + "' && zip -q -X - f0.txt f1.txt f2.txt | cat > out.zip"});
    return read_whole(dir / "out.zip");
}

std::vector<std::uint8_t> picture(const TempDir& dir, unsigned variant,
                                  const std::vector<std::string>& options, const std::string& out) {
    std::vector<std::string> argv = {imagemagick()->string(),
                                     "-seed",
                                     std::to_string(3 + variant),
                                     "-size",
                                     std::to_string(240 + 16 * variant) + "x180",
                                     "plasma:"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(out.substr(0, out.find(':') + 1) +
                   (dir / out.substr(out.find(':') + 1)).string());
    run_checked(argv);
    return read_whole(dir / out.substr(out.find(':') + 1));
}

// LibreOffice keeps a profile; one per process, in a folder of its own, so
// that runs in parallel do not share it.
const TempDir& office_profile() {
    static TempDir profile("lk-office");
    return profile;
}

std::vector<std::uint8_t> pptx(const TempDir& dir, unsigned variant) {
    run_python(kOdp, dir, "slides.odp", variant);
    run_checked({find_program("soffice")->string(),
                 "-env:UserInstallation=file://" + office_profile().path().string(), "--headless",
                 "--convert-to", "pptx", "--outdir", dir.path().string(),
                 (dir / "slides.odp").string()});
    return read_whole(dir / "slides.pptx");
}

std::vector<std::uint8_t> heif(const TempDir& dir, unsigned variant, const std::string& out) {
    run_checked({"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi",
                 "-i", "testsrc2=size=" + std::to_string(320 + 32 * variant) + "x240", "-frames:v",
                 "1", (dir / "in.png").string()});
    run_checked({"heif-enc", "-q", "60", (dir / "in.png").string(), "-o", (dir / out).string()});
    return read_whole(dir / out);
}

}  // namespace

const ToolFileInfo& tool_file_info(ToolFile kind) {
    return kInfo[static_cast<int>(kind)];
}

std::vector<ToolFile> all_tool_files() {
    std::vector<ToolFile> all;
    for (int i = 0; i <= static_cast<int>(ToolFile::avif); ++i)
        all.push_back(static_cast<ToolFile>(i));
    return all;
}

bool have_tool_for(ToolFile kind) {
    switch (kind) {
        case ToolFile::docx:
            return have_python_module("docx");
        case ToolFile::xlsx:
            return have_python_module("openpyxl");
        case ToolFile::pptx:
            return have_python_module("odf") && find_program("soffice").has_value();
        case ToolFile::odt:
        case ToolFile::ods:
        case ToolFile::odp:
            return have_python_module("odf");
        case ToolFile::zip_deflated:
        case ToolFile::zip_nested:
        case ToolFile::zip_aligned:
            return have_python_module("zipfile");
        case ToolFile::zip_pipe:
        case ToolFile::zip64:
            return find_program("zip").has_value();
        case ToolFile::heic:
        case ToolFile::avif:
            return find_program("heif-enc").has_value() && find_program("ffmpeg").has_value();
        case ToolFile::png:
        case ToolFile::gif87a:
        case ToolFile::gif89a:
        case ToolFile::bmp:
        case ToolFile::bmp_rle8:
        case ToolFile::psd:
        case ToolFile::psd_raw:
        case ToolFile::tiff:
            return imagemagick().has_value();
    }
    return false;
}

namespace {

std::vector<std::uint8_t> make_uncached(ToolFile kind, unsigned variant) {
    TempDir dir("lk-tool");
    switch (kind) {
        case ToolFile::docx:
            return run_python(kDocx, dir, "out.docx", variant);
        case ToolFile::xlsx:
            return run_python(kXlsx, dir, "out.xlsx", variant);
        case ToolFile::pptx:
            return pptx(dir, variant);
        case ToolFile::odt:
            return run_python(kOdt, dir, "out.odt", variant);
        case ToolFile::ods:
            return run_python(kOds, dir, "out.ods", variant);
        case ToolFile::odp:
            return run_python(kOdp, dir, "out.odp", variant);
        case ToolFile::zip_deflated:
            return run_python(kZipDeflated, dir, "out.zip", variant);
        case ToolFile::zip_nested:
            return run_python(kZipNested, dir, "out.zip", variant);
        case ToolFile::zip_pipe:
            return info_zip(dir, variant, false);
        case ToolFile::zip64:
            return info_zip(dir, variant, true);
        case ToolFile::zip_aligned:
            return run_python(kZipAligned, dir, "out.zip", variant);
        case ToolFile::png:
            return picture(dir, variant, {}, "PNG24:out.png");
        case ToolFile::gif87a:
            return picture(dir, variant, {"-colors", "64"}, "GIF87:out.gif");
        case ToolFile::gif89a:
            return picture(dir, variant, {"-colors", "64"}, "GIF:out.gif");
        case ToolFile::bmp:
            return picture(dir, variant, {}, "BMP3:out.bmp");
        case ToolFile::bmp_rle8:
            return picture(dir, variant, {"-colors", "200", "-type", "Palette", "-compress", "RLE"},
                           "BMP3:out.bmp");
        case ToolFile::psd:
            return picture(dir, variant, {"-compress", "RLE"}, "PSD:out.psd");
        case ToolFile::psd_raw:
            return picture(dir, variant, {"-compress", "None"}, "PSD:out.psd");
        case ToolFile::tiff:
            return picture(dir, variant, {"-compress", "LZW"}, "TIFF:out.tif");
        case ToolFile::heic:
            return heif(dir, variant, "out.heic");
        case ToolFile::avif:
            return heif(dir, variant, "out.avif");
    }
    throw std::invalid_argument("unknown tool file kind");
}

// The promises of tool_files.hpp, checked on what the program wrote.
void check_layout(ToolFile kind, const std::vector<std::uint8_t>& d) {
    auto fail = [&](const std::string& why) {
        throw std::runtime_error(std::string("unexpected ") + tool_file_info(kind).name +
                                 " file: " + why);
    };
    auto at = [&](std::size_t off, std::string_view text) {
        return off + text.size() <= d.size() &&
               std::equal(text.begin(), text.end(), d.begin() + std::ptrdiff_t(off));
    };
    auto contains = [&](std::string_view text) {
        return std::search(d.begin(), d.end(), text.begin(), text.end()) != d.end();
    };
    auto le16 = [&](std::size_t off) {
        return off + 2 <= d.size() ? d[off] | d[off + 1] << 8 : -1;
    };
    switch (kind) {
        case ToolFile::zip_pipe:
            if (!(le16(6) & 0x08)) fail("no data descriptor");
            break;
        case ToolFile::zip64:
            if (!contains("PK\x06\x06") || !contains("PK\x06\x07")) fail("no Zip64 end record");
            break;
        case ToolFile::zip_nested:
            if (!contains("the inner comment") || !at(d.size() - 39, "the outer comment"))
                fail("not nested");
            break;
        case ToolFile::zip_aligned:
            if (!at(4096, "PK\x03\x04")) fail("the second entry does not start at 4,096");
            break;
        case ToolFile::gif87a:
            if (!at(0, "GIF87a")) fail("not GIF87a");
            break;
        case ToolFile::gif89a:
            if (!at(0, "GIF89a")) fail("not GIF89a");
            break;
        case ToolFile::bmp:
        case ToolFile::bmp_rle8:
            if (le16(14) != 40 || le16(30) != (kind == ToolFile::bmp ? 0 : 1))
                fail("other BMP header or compression");
            break;
        case ToolFile::heic:
            if (!at(4, "ftypheic")) fail("brand is not heic");
            break;
        case ToolFile::avif:
            if (!at(4, "ftypavif")) fail("brand is not avif");
            break;
        default:
            break;
    }
}

}  // namespace

// Some programs take seconds to start (LibreOffice): each file is made once
// per test program.
std::vector<std::uint8_t> make_tool_file(ToolFile kind, unsigned variant) {
    static std::map<std::pair<ToolFile, unsigned>, std::vector<std::uint8_t>> made;
    auto it = made.find({kind, variant});
    if (it == made.end()) {
        std::vector<std::uint8_t> bytes = make_uncached(kind, variant);
        check_layout(kind, bytes);
        it = made.emplace(std::make_pair(kind, variant), std::move(bytes)).first;
    }
    return it->second;
}

}  // namespace lk::test
