// The naming kit: class records and their levels get labels prefixed by the
// class label, parameter names made valid under VALIDVARNAME and generated
// variable names; effects get a name and a label from the pieces of their
// levels and quantitative variables. Names are blank-padded fields of the
// host's longest name length n, labels of 256 characters.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "levelize/zlevint.h"
#include "runtime/procstr.h"
#include "runtime/wzstr.h"
#include "vyr_data.h"

namespace
{

constexpr int kLabel = 256;

// Trimmed length (no trailing blanks), stopping at a NUL.
int trimmed(const char* s, int len)
{
    if (s == nullptr || len <= 0)
        return 0;
    const void* nul = std::memchr(s, '\0', static_cast<size_t>(len));
    if (nul)
        len = static_cast<int>(static_cast<const char*>(nul) - s);
    return std::max(wzstrip(s, len), 0);
}

void blank(char* s, int len)
{
    if (len > 0)
        std::memset(s, ' ', static_cast<size_t>(len));
}

// The number of characters of a class name that start a generated name.
int prefix_length(const ZMNCLASS& c, int n)
{
    const int m = c.maxvlength > 0 ? std::min(c.maxvlength, n) : n;
    int p;
    if (c.cprefix >= 0) {
        p = c.cprefix;
    } else {
        const int t = std::min(std::max(c.nfl, 2), m);
        p = m - t;
    }
    if (p != 0)
        p = std::min(p, trimmed(c.name, n));
    return p;
}

// The VALIDVARNAME rule on a field: a value that reads as a number has its
// '+', '-' and '.' spelt as letters, unless any name is valid.
void valid_number_name(char* name, int len)
{
    wzstjls(name, len, 'l', nullptr, nullptr);
    if (void* nul = std::memchr(name, '\0', static_cast<size_t>(len)))
        blank(static_cast<char*>(nul), len - static_cast<int>(static_cast<char*>(nul) - name));
    char value[8];
    int vl = 0;
    if (xyrcgef("VALIDVARNAME", 12, value, &vl) == 0 && vl >= 3 &&
        wzstcmn(value, 3, "ANY", 3, nullptr) == 0)
        return;
    const int t = trimmed(name, len);
    static const char numberChars[] = "1234567890.-+E";
    for (int k = 0; k < t; ++k)
        if (std::strchr(numberChars, name[k]) == nullptr || name[k] == '\0')
            return;
    if (t > 0 && name[0] == 'E')
        return;
    for (int k = 0; k < t; ++k) {
        const char c = name[k];
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '_')
            continue;
        name[k] = c == '+' ? 'P' : c == '-' ? 'N' : c == '.' ? 'D' : '_';
    }
}

// Joins class label, separator and a level text into a 256-character field.
void fit_label(const ZMNCLASS& c, const char* text, bool nulIsEmpty, char* out)
{
    int a = trimmed(c.label, kLabel);
    if (c.lprefix >= 0 && c.lprefix < a)
        a = c.lprefix;
    const char* sep = c.sepnv.val ? c.sepnv.val : " ";
    int s = a == 0 ? 0 : (c.sepnv.val ? c.sepnv.len : 1);
    int b = (nulIsEmpty && text[0] == '\0') ? 0 : trimmed(text, kLabel);
    if (c.lprefix == -1 && a + s + b > kLabel) {
        if (b > 128 - s) {
            if (a <= 128) {
                b = kLabel - (a + s);
            } else {
                a = 128;
                b = 128 - s;
            }
        } else if (a > 128) {
            a = kLabel - (b + s);
        }
    }
    while (a + s + b > kLabel) {
        const int before = a + s + b;
        if (a < b) {
            if (b > 8)
                --b;
        } else {
            if (a > 8)
                --a;
            if (a <= b && b > 8)
                --b;
        }
        if (a < s && b < s && s > 8)
            --s;
        if (a + s + b == before)
            break;
    }
    char tmp[kLabel];
    blank(tmp, kLabel);
    int at = 0;
    std::memcpy(tmp, c.label, static_cast<size_t>(std::min(a, kLabel)));
    at = std::min(a, kLabel);
    const int sn = std::min(s, kLabel - at);
    if (sn > 0)
        std::memcpy(tmp + at, sep, static_cast<size_t>(sn));
    at += std::max(sn, 0);
    const int bn = std::min(b, kLabel - at);
    if (bn > 0)
        std::memcpy(tmp + at, text, static_cast<size_t>(bn));
    std::memcpy(out, tmp, kLabel);
}

} // namespace

ZMNCLASS* zmnalcl(int nclass, POOLHANDLE* pool)
{
    const int64_t bytes = static_cast<int64_t>(std::max(nclass, 0)) * sizeof(ZMNCLASS);
    auto* list = static_cast<ZMNCLASS*>(vmalcp_handler(pool, bytes, 0x3006));
    if (list == nullptr || nclass < 1)
        return list;
    const int n = zvnamlen();
    for (int k = 0; k < nclass; ++k) {
        ZMNCLASS& c = list[k];
        blank(c.name, n);
        blank(c.buffor, n);
        blank(c.buflab, kLabel);
        blank(c.label, kLabel);
        c.cprefix = -1;
        c.lprefix = -1;
    }
    return list;
}

void zmzname(int which, char* name, int len, int underbar)
{
    if (underbar)
        zname(which, name, len);
    else
        valid_number_name(name, len);
}

void zmnconc(char* to, const char* from1, const char* from2, int lento, int lenfrom1, int lenfrom2)
{
    const int a = trimmed(from1, lenfrom1);
    const int b = trimmed(from2, lenfrom2);
    std::vector<char> tmp(static_cast<size_t>(std::max(lento, 0)), ' ');
    int at = 0;
    for (int k = 0; k < a && at < lento; ++k)
        tmp[static_cast<size_t>(at++)] = from1[k];
    for (int k = 0; k < b && at < lento; ++k)
        tmp[static_cast<size_t>(at++)] = from2[k];
    if (lento > 0)
        std::memcpy(to, tmp.data(), static_cast<size_t>(lento));
}

void zmnlcon(char* to, const char* from, int lento, int lenfrom, const char* sep, int seplen)
{
    const int b = trimmed(from, lenfrom);
    if (b == 0)
        return;
    int at = trimmed(to, lento);
    if (at > 0)
        for (int k = 0; k < seplen && at < lento; ++k)
            to[at++] = sep[k];
    for (int k = 0; k < b && at < lento; ++k)
        to[at++] = from[k];
}

void zmnprcl(ZMNCLASS* classlist, int nclass)
{
    const int n = zvnamlen();
    for (int ci = 0; ci < nclass; ++ci) {
        ZMNCLASS& c = classlist[ci];
        if (c.numeric) {
            int k = kLabel;
            for (ZMNLEVEL* lv = c.levels; lv; lv = lv->next) {
                int lead = 0;
                while (lead < kLabel && lv->label[lead] == ' ')
                    ++lead;
                k = std::min(k, lead);
            }
            if (k > 0 && k < kLabel)
                for (ZMNLEVEL* lv = c.levels; lv; lv = lv->next) {
                    std::memmove(lv->label, lv->label + k, static_cast<size_t>(kLabel - k));
                    blank(lv->label + kLabel - k, k);
                }
        }
        const int p = prefix_length(c, n);
        for (ZMNLEVEL* lv = c.levels; lv; lv = lv->next) {
            fit_label(c, lv->label, false, c.buflab);
            std::memcpy(lv->label, c.buflab, kLabel);
            fit_label(c, lv->parmlabel, true, c.buflab);
            std::memcpy(lv->parmlabel, c.buflab, kLabel);
            if (lv->parmname[0] != '\0')
                zmzname(0, lv->parmname, n, 0);
            char work[32];
            std::memcpy(work, lv->class_, static_cast<size_t>(n));
            valid_number_name(work, n);
            char* name = lv->unformatted.name;
            blank(name, n);
            const int tn = std::min(p, trimmed(c.name, n));
            int at = 0;
            for (int k = 0; k < tn && at < n; ++k)
                name[at++] = c.name[k];
            const int tw = trimmed(work, n);
            for (int k = 0; k < tw && at < n; ++k)
                name[at++] = work[k];
            zname(0, name, n);
        }
    }
}

void zmname(ZMNEFFECT* effects, int neffects)
{
    const int n = zvnamlen();
    for (int e = 0; e < neffects; ++e) {
        ZMNEFFECT& ef = effects[e];
        char N[32], Q[32], L[kLabel], QL[kLabel];
        blank(N, n);
        blank(Q, n);
        blank(L, kLabel);
        blank(QL, kLabel);
        const char* sep = ef.sepint.val ? ef.sepint.val : " * ";
        const int seplen = ef.sepint.val ? ef.sepint.len : 3;
        for (int i = 0; i < ef.nways; ++i) {
            ZMNLEVEL* lv = ef.levels[i];
            const ZMNCLASS* c = lv->classvar;
            if (i < ef.nparmnames) {
                char piece[32];
                zmnconc(piece, c->name, lv->parmname, n, prefix_length(*c, n), n);
                zmnconc(N, N, piece, n, n, n);
                zmnlcon(L, lv->parmlabel, kLabel, kLabel, sep, seplen);
            } else {
                zmnconc(N, N, lv->unformatted.name, n, n, n);
                zmnlcon(L, lv->label, kLabel, kLabel, sep, seplen);
            }
        }
        for (int j = 0; j < ef.nquants; ++j) {
            const ZMNQUANT* q = ef.vars[j];
            const int room = n + 1 + j - trimmed(Q, n) - trimmed(N, n) - ef.nquants;
            if (room > 0)
                zmnconc(Q, Q, q->name, n, n, std::min(room, n));
            if (trimmed(q->label, kLabel) > 0 || (ef.nquants == 1 && ef.nways == 0))
                zmnlcon(QL, q->label, kLabel, kLabel, sep, seplen);
            else
                zmnlcon(QL, q->name, kLabel, n, sep, seplen);
        }
        blank(ef.name, n);
        if (!ef.quantfirst) {
            zmnconc(ef.name, N, Q, n, n, n);
            std::memcpy(ef.label, L, kLabel);
            zmnlcon(ef.label, QL, kLabel, kLabel, sep, seplen);
        } else {
            zmnconc(ef.name, Q, N, n, n, n);
            std::memcpy(ef.label, QL, kLabel);
            zmnlcon(ef.label, L, kLabel, kLabel, sep, seplen);
        }
    }
}

void zmnsuff(ZMNEFFECT* effects, int neffects, int maxvlen, const char* suffix, int suffixlen,
             int replace)
{
    if (suffix == nullptr || suffixlen <= 0)
        return;
    const int n = zvnamlen();
    const int m = maxvlen < 1 ? n : std::min(maxvlen, n);
    for (int e = 0; e < neffects; ++e) {
        char* name = effects[e].name;
        const int t = trimmed(name, m);
        int at;
        if (replace)
            at = std::max(t - suffixlen, 0);
        else
            at = t + suffixlen >= m ? std::max(m - suffixlen, 0) : t;
        for (int k = 0; k < suffixlen && at + k < m; ++k)
            name[at + k] = suffix[k];
    }
}

void zmncomp(char* to, const char* from1, const char* from2, int lento, int lenfrom1, int lenfrom2)
{
    std::vector<char> tmp(static_cast<size_t>(std::max(lento, 0)), ' ');
    int at = 0;
    for (int k = 0; k < lenfrom1 && at < lento; ++k)
        if (from1[k] != ' ')
            tmp[static_cast<size_t>(at++)] = from1[k];
    for (int k = 0; k < lenfrom2 && at < lento; ++k)
        if (from2[k] != ' ')
            tmp[static_cast<size_t>(at++)] = from2[k];
    if (lento > 0)
        std::memcpy(to, tmp.data(), static_cast<size_t>(lento));
}

void zmnjust(const char* from, char* to)
{
    const int n = zvnamlen();
    int k = 0;
    while (k < n && from[k] == ' ')
        ++k;
    int at = 0;
    for (; k < n && from[k] != '\0'; ++k)
        to[at++] = from[k];
    blank(to + at, n - at);
}

void zmnduef(ZMNEFFECT* effects, int n)
{
    const int nl = zvnamlen();
    xpslog("Name (func num,effect num,nways) -> vars -> levels");
    for (int e = 0; e < n; ++e) {
        const ZMNEFFECT& ef = effects[e];
        std::string line = ef.nways > 0 ? "CLASS: " : "QUANT: ";
        line += std::string(ef.name, static_cast<size_t>(trimmed(ef.name, nl)));
        line += " (" + std::to_string(ef.classnum) + "," + std::to_string(ef.effectnum) + "," +
                std::to_string(ef.nways) + ") ->";
        for (int j = 0; j < ef.nquants; ++j)
            line += " " + std::string(ef.vars[j]->name,
                                      static_cast<size_t>(trimmed(ef.vars[j]->name, nl)));
        line += " ->";
        for (int i = 0; i < ef.nways; ++i)
            line += " " + std::string(ef.levels[i]->class_,
                                      static_cast<size_t>(trimmed(ef.levels[i]->class_, nl)));
        xpslog("%s", line.c_str());
        const int sl = ef.sepint.val ? ef.sepint.len : 3;
        xpslog("sepint   = %*s.", sl, ef.sepint.val ? ef.sepint.val : " * ");
    }
}

void zmnducl(ZMNCLASS* classes, int n)
{
    const int nl = zvnamlen();
    for (int k = 0; k < n; ++k) {
        const ZMNCLASS& c = classes[k];
        xpslog("name     = %*s.", trimmed(c.name, nl), c.name);
        xpslog("reflev   = %*s.", trimmed(c.reflev, nl), c.reflev);
        xpslog("label    = %*s.", trimmed(c.label, kLabel), c.label);
        xpslog("nfl      = %d.", c.nfl);
        xpslog("nflen    = %d.", c.nflen);
        xpslog("cprefix  = %d.", c.cprefix);
        xpslog("lprefix  = %d.", c.lprefix);
        xpslog("sepnv    = %*s.", c.sepnv.val ? c.sepnv.len : 1, c.sepnv.val ? c.sepnv.val : " ");
        xpslog("order    = %c.", c.order ? c.order : ' ');
        xpslog("varnum   = %d.", c.varnum);
        xpslog("nclasses = %d.", c.nclasses);
        xpslog("classnum = %d.", c.classnum);
        xpslog("index    = %d.", c.index);
        xpslog("numeric  = %d.", c.numeric);
        xpslog("reflevfound= %d.", c.reflevfound);
        xpslog("firstinfun= %d.", c.firstinfun);
        xpslog("orthcoding= %d.", c.orthcoding);
        for (const ZMNLEVEL* lv = c.levels; lv; lv = lv->next) {
            xpslog("  next     = %p.", static_cast<const void*>(lv->next));
            xpslog("  class    = %*s.", trimmed(lv->class_, nl), lv->class_);
            xpslog("  label    = %*s.", trimmed(lv->label, kLabel), lv->label);
            xpslog("  freq     = %g.", lv->freq);
            xpslog("   addflag = %d.", lv->addflag);
        }
    }
}
