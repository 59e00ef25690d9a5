// Blank-padded strings: fixed-length byte fields padded on the right with
// blanks, passed as a pointer and an explicit length and never relying on a
// terminator. Positions are 0-based and -1 means "not found". Characters are
// compared as unsigned bytes.
#pragma once

typedef char tchar;
typedef unsigned char tuchar;

// The host's counted name record; here it only names a collating sequence.
struct U_SNAME {
    short name_l;
    tchar name[32];
};

// 1 when len <= 0 or all len bytes of str equal c, else 0.
int vzabl(char c, const char* str, long len);
// As vzabl with an int character compared with each byte's unsigned value (a
// c outside 0..255 never matches); maxlen is not used.
int vzatl(int c, const tchar* str, long len, long maxlen);
// Stores val into to[0] .. to[len-1]; nothing when len <= 0.
void vzfdl(double val, double* to, long len);
// Moves from (flen bytes) into the field to (tlen bytes), padding with blanks;
// flen 0 gives a blank field. Overlapping fields are moved safely.
void vzmp(const tchar* from, int flen, tchar* to, int tlen);
// As vzmp, returning the number of bytes copied. A null from gives a blank
// field. A negative tlen means that `to` is a NUL-terminated buffer of -tlen
// bytes: at most -tlen-1 bytes are copied, then a NUL, without blank fill.
int wzstmov(const tchar* from, int flen, tchar* to, int tlen);
// Length of the NUL-terminated str; 0 for null.
int wzstlen(const tchar* str);
// Length of the field without its trailing blanks; a len of 0 or below is
// returned unchanged.
int wzstrip(const tchar* str, int len);
// Position of the first byte equal to c / different from c; -1 when none,
// when str is null or len <= 0.
int wzstpos(const tchar* str, int len, tuchar c);
int wzstnot(const tchar* str, int len, tuchar c);
// Position of the first byte of str that is not among ver[0..vlen-1]; -1
// when every byte is or slen <= 0; 0 when vlen <= 0 and slen >= 1.
int wzstver(const tchar* str, int slen, const tchar* ver, int vlen);
// Position of the first occurrence of tok (tlen bytes) in str (slen bytes).
// tlen 0 or a null tok gives 0; a negative tlen means tok is NUL-terminated.
// -1 when not found, when slen is 0 or the token is longer than the field.
int wzstndx(const tchar* str, int slen, const tchar* tok, int tlen);
// The first byte of search, in the order of search, that is one of the olen
// bytes of options; def when none, when a pointer is null or slen <= 0.
tchar wzstopt(const tchar* search, int slen, const tchar* options, int olen, tuchar def);
// In place: each byte equal to some from[j] (the first such j < tofrl)
// becomes to[j].
void wzstrns(tchar* string, int length, const tchar* to, const tchar* from, int tofrl);
// Justifies the text of the field in place: type 'C'/'c' centres, 'L'/'l'
// left-justifies, 'R'/'r' right-justifies, anything else leaves the field as
// it is. Stores the text's length without surrounding blanks through retlen
// and its new 0-based start through start (either may be null).
void wzstjls(tchar* string, int length, int type, int* retlen, int* start);
// wzstjls returning the text's length.
int wzstjus(tchar* string, int length, int type);
// Compares two fields, the shorter extended with blanks: 0 when equal,
// otherwise -k or +k where k is the 1-based position of the first difference
// (negative when s1 orders first). A null field counts as length 0.
int wzstcom(const tchar* s1, int l1, const tchar* s2, int l2);
// The same rule on the images of the host character map, or the host's
// comparison service in national-character mode (only the sign is then
// meaningful).
int wzstcmn(const tchar* string1, int len1, const tchar* string2, int len2, U_SNAME* sort_seq);
