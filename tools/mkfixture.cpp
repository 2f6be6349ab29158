// mkfixture: writes panic dumps, console captures and lock dumps from a text
// description, one record per line, fields as key=value ("quoted values" may
// hold blanks and the escapes \n \t \r \\ \" \xNN). Lines starting with # are
// comments.
//
//   mkfixture dump OUT [DESCRIPTION]      (the description from stdin without one)
//     meta     tim= ver= saved= hsz= siz= cs= badcs id= idtail= ext= extsize=
//     section  name= tim= pri= ver= siz= bsz=
//     data     text= | fill=BYTE size=N | hole=N   filler= dsz= repeat=
//     header   mag= bsz= dsz= tim= cs= badcs extra=
//     endsection | enddump mag=
//     bytes text= | zeros size= | truncate size=
//   mkfixture console OUT [DESCRIPTION]
//     console  magic= dataend= headlen= writepos= wrapped=
//     text     text= | fill=BYTE size=N
//   mkfixture lockdump OUT [DESCRIPTION]
//     record   id= text1= text2= text3= text4= taskp= sec= frac= pid= task= preempt= cpu= irqs=
//     frame    addr= symbol= module= offset= size=
//     tail     size=N        (bytes after the last whole record)
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fixture/fixture.h"

namespace {

struct Line {
    std::string verb;
    std::map<std::string, std::string> fields;
    int number = 0;

    bool has(const std::string &key) const { return fields.count(key) != 0; }
    std::string text(const std::string &key, std::string fallback = {}) const
    {
        auto it = fields.find(key);
        return it == fields.end() ? fallback : it->second;
    }
    long long num(const std::string &key, long long fallback = 0) const
    {
        auto it = fields.find(key);
        if (it == fields.end())
            return fallback;
        char *end = nullptr;
        long long v = strtoll(it->second.c_str(), &end, 0);
        if (*end) {
            fprintf(stderr, "mkfixture: line %d: %s=%s is not a number\n", number, key.c_str(), it->second.c_str());
            exit(2);
        }
        return v;
    }
};

[[noreturn]] void fail(const Line &line, const char *what)
{
    fprintf(stderr, "mkfixture: line %d: %s '%s'\n", line.number, what, line.verb.c_str());
    exit(2);
}

std::string unescape(const std::string &in)
{
    std::string out;
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '\\' || i + 1 == in.size()) {
            out += in[i];
            continue;
        }
        char c = in[++i];
        switch (c) {
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        case '0': out += '\0'; break;
        case 'x':
            out += static_cast<char>(std::stoi(in.substr(i + 1, 2), nullptr, 16));
            i += 2;
            break;
        default: out += c;
        }
    }
    return out;
}

std::vector<Line> parse(std::istream &in)
{
    std::vector<Line> lines;
    std::string raw;
    for (int number = 1; std::getline(in, raw); ++number) {
        Line line;
        line.number = number;
        size_t i = 0;
        auto skipBlanks = [&] { while (i < raw.size() && isspace(static_cast<unsigned char>(raw[i]))) ++i; };
        skipBlanks();
        if (i == raw.size() || raw[i] == '#')
            continue;
        while (i < raw.size()) {
            std::string key, value;
            while (i < raw.size() && !isspace(static_cast<unsigned char>(raw[i])) && raw[i] != '=')
                key += raw[i++];
            if (i < raw.size() && raw[i] == '=') {
                ++i;
                if (i < raw.size() && raw[i] == '"') {
                    for (++i; i < raw.size() && raw[i] != '"'; ++i) {
                        if (raw[i] == '\\' && i + 1 < raw.size())
                            value += raw[i++];
                        value += raw[i];
                    }
                    ++i;
                } else {
                    while (i < raw.size() && !isspace(static_cast<unsigned char>(raw[i])))
                        value += raw[i++];
                }
                line.fields[key] = unescape(value);
            } else if (line.verb.empty()) {
                line.verb = key;
            } else {
                line.fields.insert_or_assign(key, std::string(1, '1')); // a bare flag
            }
            skipBlanks();
        }
        lines.push_back(line);
    }
    return lines;
}

fixture::Header headerFrom(const Line &l, std::string mag)
{
    fixture::Header h;
    h.mag = l.text("mag", mag);
    h.bsz = static_cast<uint32_t>(l.num("bsz"));
    h.dsz = static_cast<uint32_t>(l.num("dsz"));
    if (l.has("tim"))
        h.tim = static_cast<int32_t>(l.num("tim"));
    if (l.has("cs"))
        h.cs = static_cast<uint16_t>(l.num("cs"));
    h.badChecksum = l.has("badcs");
    h.extra = l.text("extra");
    return h;
}

int buildDump(const std::vector<Line> &lines, const std::string &out)
{
    fixture::Meta meta;
    size_t first = 0;
    if (!lines.empty() && lines[0].verb == "meta") {
        const Line &l = lines[0];
        meta.tim = static_cast<int32_t>(l.num("tim", meta.tim));
        meta.ver = static_cast<uint32_t>(l.num("ver", meta.ver));
        meta.savedFor = l.text("saved", meta.savedFor);
        meta.hsz = static_cast<uint16_t>(l.num("hsz", meta.hsz));
        meta.id = l.text("id", meta.id);
        meta.idTail = l.text("idtail");
        meta.extension = l.text("ext", std::string(static_cast<size_t>(l.num("extsize")), '\0'));
        if (l.has("siz"))
            meta.siz = static_cast<uint32_t>(l.num("siz"));
        if (l.has("cs"))
            meta.cs = static_cast<uint16_t>(l.num("cs"));
        meta.badChecksum = l.has("badcs");
        first = 1;
    }
    fixture::Dump dump(meta);
    for (size_t i = first; i < lines.size(); ++i) {
        const Line &l = lines[i];
        if (l.verb == "section") {
            fixture::Attr a{l.text("name"), static_cast<int32_t>(l.num("tim", meta.tim)),
                            static_cast<uint32_t>(l.num("siz")), static_cast<int32_t>(l.num("ver", 1)),
                            static_cast<int16_t>(l.num("pri"))};
            dump.section(a, static_cast<uint32_t>(l.num("bsz", 46)));
        } else if (l.verb == "data") {
            auto filler = static_cast<uint32_t>(l.num("filler"));
            for (long long n = l.num("repeat", 1); n > 0; --n) {
                if (l.has("hole")) {
                    auto bsz = static_cast<uint32_t>(l.num("hole"));
                    dump.holeData(bsz, static_cast<uint32_t>(l.num("dsz", bsz)));
                } else if (l.has("fill")) {
                    dump.filledData(static_cast<uint32_t>(l.num("size")), static_cast<uint8_t>(l.num("fill")), filler);
                } else {
                    dump.data(l.text("text"), filler);
                }
            }
        } else if (l.verb == "header") {
            dump.header(headerFrom(l, "pD"));
        } else if (l.verb == "endsection") {
            dump.endSection();
        } else if (l.verb == "enddump") {
            dump.endDump(l.text("mag", "pD"));
        } else if (l.verb == "bytes") {
            dump.bytes(l.text("text"));
        } else if (l.verb == "zeros") {
            dump.zeros(static_cast<uint64_t>(l.num("size")));
        } else if (l.verb == "truncate") {
            dump.truncateTo(static_cast<uint64_t>(l.num("size")));
        } else {
            fail(l, "unknown record");
        }
    }
    return dump.write(out) ? 0 : 1;
}

int buildConsole(const std::vector<Line> &lines, const std::string &out)
{
    fixture::Console c;
    for (const Line &l : lines) {
        if (l.verb == "console") {
            c.magic = static_cast<uint32_t>(l.num("magic", c.magic));
            c.dataEnd = static_cast<int32_t>(l.num("dataend"));
            c.headLen = static_cast<int32_t>(l.num("headlen"));
            c.writePos = static_cast<int32_t>(l.num("writepos"));
            c.wrapped = static_cast<int32_t>(l.num("wrapped"));
        } else if (l.verb == "text") {
            if (l.has("fill"))
                c.text.append(static_cast<size_t>(l.num("size")), static_cast<char>(l.num("fill")));
            else
                c.text += l.text("text");
        } else {
            fail(l, "unknown record");
        }
    }
    return fixture::writeFile(out, c.encode()) ? 0 : 1;
}

int buildLockDump(const std::vector<Line> &lines, const std::string &out)
{
    std::vector<fixture::LockRecord> records;
    std::string tail;
    for (const Line &l : lines) {
        if (l.verb == "record") {
            fixture::LockRecord r;
            r.id = static_cast<uint32_t>(l.num("id"));
            r.text1 = l.text("text1");
            r.text2 = l.text("text2");
            r.text3 = l.text("text3");
            r.text4 = l.text("text4");
            r.taskp = static_cast<uint32_t>(l.num("taskp"));
            r.timeSec = static_cast<uint32_t>(l.num("sec"));
            r.timeFrac = static_cast<uint32_t>(l.num("frac"));
            r.pid = static_cast<int32_t>(l.num("pid"));
            r.taskName = l.text("task");
            r.preemptCount = static_cast<int32_t>(l.num("preempt"));
            r.cpu = static_cast<uint8_t>(l.num("cpu"));
            r.irqsDisabled = static_cast<uint8_t>(l.num("irqs"));
            records.push_back(r);
        } else if (l.verb == "frame" && !records.empty()) {
            records.back().frames.push_back({static_cast<uint32_t>(l.num("addr")), l.text("symbol"), l.text("module"),
                                             static_cast<uint32_t>(l.num("offset")),
                                             static_cast<uint32_t>(l.num("size"))});
        } else if (l.verb == "tail") {
            tail.append(static_cast<size_t>(l.num("size")), '\x55');
        } else {
            fail(l, "unknown record");
        }
    }
    std::string bytes;
    for (const auto &r : records)
        bytes += r.encode();
    return fixture::writeFile(out, bytes + tail) ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3 || argc > 4) {
        fprintf(stderr, "usage: mkfixture dump|console|lockdump OUT [DESCRIPTION]\n");
        return 2;
    }
    std::string kind = argv[1];
    std::vector<Line> lines;
    if (argc == 4) {
        std::ifstream in(argv[3]);
        if (!in) {
            perror(argv[3]);
            return 2;
        }
        lines = parse(in);
    } else {
        lines = parse(std::cin);
    }
    int status = kind == "dump" ? buildDump(lines, argv[2])
                 : kind == "console" ? buildConsole(lines, argv[2])
                 : kind == "lockdump" ? buildLockDump(lines, argv[2])
                 : -1;
    if (status < 0) {
        fprintf(stderr, "mkfixture: unknown kind '%s'\n", kind.c_str());
        return 2;
    }
    if (status != 0)
        perror(argv[2]);
    return status;
}
