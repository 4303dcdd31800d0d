// Writes seeds for package_fuzz, scramble_fuzz and plist_fuzz into the directory given as the
// argument, one subdirectory per target: small packages (empty, one record, several records,
// a truncated one, a multi-byte key), scrambled data of odd and even lengths with both flags,
// and XML and binary property lists with nested containers, tags spelled every way the parser
// reads them, and objects that share their children.
#include <plist/plist.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {
using Bytes = std::vector<unsigned char>;

void save(const std::string& dir, const char* name, const Bytes& b) {
    mkdir(dir.c_str(), 0755);
    std::FILE* f = std::fopen((dir + "/" + name).c_str(), "wb");
    if (!f) return;
    if (!b.empty()) std::fwrite(b.data(), 1, b.size(), f);
    std::fclose(f);
}

void putInt(Bytes& b, int32_t v) {
    uint32_t u = static_cast<uint32_t>(v);
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<unsigned char>(u >> s));
}

void putRecord(Bytes& b, const std::string& key, const Bytes& value) {
    putInt(b, static_cast<int32_t>(key.size()));
    b.insert(b.end(), key.begin(), key.end());
    putInt(b, static_cast<int32_t>(value.size()));
    b.insert(b.end(), value.begin(), value.end());
}

Bytes scrambled(const Bytes& plain, bool encrypt) {
    Bytes out = plain;
    if (encrypt) {
        size_t i = 0;
        for (; i + 1 < out.size(); i += 2) {
            unsigned char a = out[i];
            out[i] = static_cast<unsigned char>(~out[i + 1]);
            out[i + 1] = static_cast<unsigned char>(~a);
        }
        if (i < out.size()) out[i] = static_cast<unsigned char>(~out[i]);
    }
    out.push_back(encrypt ? 1 : 0);
    return out;
}

Bytes text(const char* s) {
    return Bytes(s, s + std::string(s).size());
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    std::string root = argv[1];
    mkdir(root.c_str(), 0755);

    // Packages.
    std::string pkg = root + "/package";
    Bytes empty;
    putInt(empty, 0);
    save(pkg, "empty.pkg", empty);
    Bytes one;
    putInt(one, 1);
    putRecord(one, "a", {1, 2});
    save(pkg, "one.pkg", one);
    Bytes many;
    putInt(many, 3);
    putRecord(many, "bg.png", scrambled(text("picture bytes"), true));
    putRecord(many, "\xC3\xA9t\xC3\xA9", scrambled(text("plain"), false));
    putRecord(many, "", {});
    save(pkg, "many.pkg", many);
    Bytes cut = many;
    cut.resize(cut.size() - 5);
    save(pkg, "truncated.pkg", cut);
    Bytes huge;
    putInt(huge, 2);
    putRecord(huge, "k", {9});
    putInt(huge, 0x7FFFFFFF);
    save(pkg, "hugelength.pkg", huge);

    // Scrambled data.
    std::string scr = root + "/scramble";
    Bytes odd, even;
    for (int i = 0; i < 67; ++i) odd.push_back(static_cast<unsigned char>(i * 13));
    for (int i = 0; i < 96; ++i) even.push_back(static_cast<unsigned char>(i * 7 + 1));
    save(scr, "odd_on", scrambled(odd, true));
    save(scr, "odd_off", scrambled(odd, false));
    save(scr, "even_on", scrambled(even, true));
    save(scr, "one_byte", {0x01});

    // Property lists: the same dictionary as XML and as binary.
    std::string pl = root + "/plist";
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "name", plist_new_string("Wallpaper"));
    plist_dict_set_item(dict, "fps", plist_new_uint(30));
    plist_dict_set_item(dict, "scale", plist_new_real(1.5));
    plist_dict_set_item(dict, "loop", plist_new_bool(1));
    plist_dict_set_item(dict, "blob", plist_new_data("\x00\x01\x02", 3));
    plist_t arr = plist_new_array();
    plist_array_append_item(arr, plist_new_string("one"));
    plist_t inner = plist_new_dict();
    plist_dict_set_item(inner, "x", plist_new_uint(-1 & 0xFFFF));
    plist_array_append_item(arr, inner);
    plist_dict_set_item(dict, "layers", arr);
    char* xml = nullptr;
    char* bin = nullptr;
    uint32_t xmlLen = 0, binLen = 0;
    plist_to_xml(dict, &xml, &xmlLen);
    plist_to_bin(dict, &bin, &binLen);
    if (xml) save(pl, "dict.xml", Bytes(xml, xml + xmlLen));
    if (bin) save(pl, "dict.bin", Bytes(bin, bin + binLen));
    std::free(xml);
    std::free(bin);
    plist_free(dict);
    // A binary list whose objects share their children: object i holds object i+1 twice, so
    // eight levels of sharing stand for 2^8 copies of the leaf. The fuzzer deepens the sharing
    // from here, which the reader must refuse before the tree grows past its node budget.
    Bytes shared = text("bplist00");
    std::vector<size_t> offsets;
    offsets.push_back(shared.size());  // 0: { "k": object 2 }
    shared.insert(shared.end(), {0xD1, 0x01, 0x02});
    offsets.push_back(shared.size());  // 1: "k"
    shared.insert(shared.end(), {0x51, 'k'});
    const int levels = 8;
    for (int i = 0; i < levels; ++i) {  // 2 .. 9: [i + 3, i + 3]
        offsets.push_back(shared.size());
        unsigned char child = static_cast<unsigned char>(i + 3);
        shared.insert(shared.end(), {0xA2, child, child});
    }
    offsets.push_back(shared.size());  // 10: "leaf"
    shared.insert(shared.end(), {0x54, 'l', 'e', 'a', 'f'});
    size_t table = shared.size();
    for (size_t off : offsets) shared.push_back(static_cast<unsigned char>(off));
    Bytes trailer(32, 0);
    trailer[6] = 1;  // offset size
    trailer[7] = 1;  // reference size
    trailer[15] = static_cast<unsigned char>(offsets.size());
    trailer[31] = static_cast<unsigned char>(table);
    shared.insert(shared.end(), trailer.begin(), trailer.end());
    save(pl, "shared_refs.bin", shared);

    // Nesting written the ways the parser accepts a start tag: spaces, line breaks,
    // attributes, comments between, and self-closing elements that open nothing.
    save(pl, "spellings.xml",
         text("<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict ><key>a</key><array\n>"
              "<!-- </array> --><array a=\"/>\"><dict/><array /></array ></array>"
              "<key>b</key><dict x='1'><key>c</key><true/></dict></dict></plist>\n"));
    save(pl, "array_root.xml",
         text("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><array>"
              "<string>a</string></array></plist>\n"));
    return 0;
}
