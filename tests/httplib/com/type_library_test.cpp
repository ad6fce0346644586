// The type library that compiled clients (VB6, VBA, C++) were built
// against, read from the DLL: names, GUIDs, dispids, parameter types and
// flags, vtable order of every interface version, help strings.
#include <gtest/gtest.h>

#include <windows.h>

#include <map>

#include "korvanetTestSupport.h"
#include "qmTestSupport.h"

using namespace korvanettest;

namespace {

struct Flag { unsigned bit; const wchar_t* word; };
// The words of the bits that are set, joined with ",", after lead if any.
std::wstring Words(unsigned flags, std::initializer_list<Flag> words, const wchar_t* lead = L" ") {
  std::wstring text;
  for (const Flag& f : words)
    if (flags & f.bit) text += (text.empty() ? lead : L",") + std::wstring(f.word);
  return text;
}

// A type's or member's name; for the library's own, what the Object Browser
// and IntelliSense show beside it (its help string) must not be missing.
std::wstring Name(ITypeInfo* info, MEMBERID id = MEMBERID_NIL, bool own = true) {
  BSTR name = nullptr, help = nullptr;
  info->GetDocumentation(id, &name, &help, nullptr, nullptr);
  std::wstring text = name ? name : L"?";
  if (own && (!help || !*help)) text += L" (no help string)";
  SysFreeString(name);
  SysFreeString(help);
  return text;
}

std::wstring TypeText(ITypeInfo* info, const TYPEDESC& type) {
  static const std::map<VARTYPE, std::wstring> names = {
      {VT_BSTR, L"BSTR"}, {VT_BOOL, L"VARIANT_BOOL"}, {VT_I2, L"short"}, {VT_I4, L"long"}, {VT_VARIANT, L"VARIANT"},
      {VT_UNKNOWN, L"IUnknown*"}, {VT_DISPATCH, L"IDispatch*"}};  // (the pointer itself)
  ComPtr<ITypeInfo> referenced;
  if (type.vt == VT_PTR) return TypeText(info, *type.lptdesc) + L"*";
  if (type.vt == VT_USERDEFINED)
    return SUCCEEDED(info->GetRefTypeInfo(type.hreftype, referenced.GetAddressOf()))
               ? Name(referenced.Get(), MEMBERID_NIL, false) : L"?";
  return names.count(type.vt) ? names.at(type.vt) : L"vt" + std::to_wstring(type.vt);
}

// One line per member in vtable order: name, dispid, kind, each parameter's
// flags, default, type and name, and the vtable slot.
std::wstring Member(ITypeInfo* info, const FUNCDESC& function, bool vtable) {
  BSTR names[16] = {};
  UINT count = 0;
  info->GetNames(function.memid, names, 16, &count);
  std::wstring line = Name(info, function.memid) + L" " + std::to_wstring(function.memid) + L" ";
  line += Words(function.invkind, {{INVOKE_FUNC, L"call"}, {INVOKE_PROPERTYGET, L"get"},
                                   {INVOKE_PROPERTYPUT, L"put"}}, L"") + L"(";
  for (SHORT p = 0; p < function.cParams; ++p) {
    const PARAMDESC& param = function.lprgelemdescParam[p].paramdesc;
    std::wstring text = Words(param.wParamFlags, {{PARAMFLAG_FIN, L"in"}, {PARAMFLAG_FOUT, L"out"},
                              {PARAMFLAG_FRETVAL, L"retval"}, {PARAMFLAG_FOPT, L"optional"}}, L"");
    if ((param.wParamFlags & PARAMFLAG_FHASDEFAULT) && param.pparamdescex) {
      Var value;
      VariantCopy(&value.v, &param.pparamdescex->varDefaultValue);
      text += L",default=" + (V_VT(&value.v) == VT_BSTR ? L"\"" + value.Text() + L"\"" : value.Text());
    }
    text += L" " + TypeText(info, function.lprgelemdescParam[p].tdesc);
    // A property's value and a method's result carry no name of their own.
    if (function.invkind == INVOKE_FUNC && static_cast<UINT>(p + 1) < count && names[p + 1])
      text += L" " + std::wstring(names[p + 1]);
    line += (p ? L", " : L"") + text;
  }
  for (UINT n = 0; n < count; ++n) SysFreeString(names[n]);
  return line + L")" + (vtable ? L" @" + std::to_wstring(function.oVft / SHORT{sizeof(void*)}) : L"");
}

// The type that the index-th entry of a type's implemented list names
// (-1: the vtable half of a dual interface), or none.
ComPtr<ITypeInfo> Referenced(ITypeInfo* info, UINT index) {
  HREFTYPE ref = 0;
  ComPtr<ITypeInfo> type;
  if (SUCCEEDED(info->GetRefTypeOfImplType(index, &ref))) info->GetRefTypeInfo(ref, type.GetAddressOf());
  return type;
}

// A type as a compiled client sees it: its name, GUID, kind and flags (of
// the dispatch half of a dual interface), then what it derives from or
// implements, then its members (of the vtable half).
std::vector<std::wstring> Describe(ComPtr<ITypeInfo> info) {
  TYPEATTR* attributes = nullptr;
  if (FAILED(info->GetTypeAttr(&attributes))) return {L"?"};
  wchar_t guid[40] = {};
  StringFromGUID2(attributes->guid, guid, 40);
  std::vector<std::wstring> lines{Name(info.Get()) + L" " + guid +
      Words(attributes->wTypeFlags, {{TYPEFLAG_FDUAL, L"dual"}, {TYPEFLAG_FNONEXTENSIBLE, L"nonextensible"},
                                     {TYPEFLAG_FCANCREATE, L"cancreate"}})};
  const ComPtr<ITypeInfo> half = attributes->typekind == TKIND_DISPATCH ? Referenced(info.Get(), -1) : nullptr;
  info->ReleaseTypeAttr(attributes);
  if (half) info = half;
  if (FAILED(info->GetTypeAttr(&attributes))) return {L"?"};
  for (UINT i = 0; i < attributes->cImplTypes; ++i) {
    INT flags = 0;
    info->GetImplTypeFlags(i, &flags);
    if (const ComPtr<ITypeInfo> implemented = Referenced(info.Get(), i))
      lines.push_back(L": " + Name(implemented.Get(), MEMBERID_NIL, false) +
                      Words(flags, {{IMPLTYPEFLAG_FDEFAULT, L"default"}, {IMPLTYPEFLAG_FSOURCE, L"source"}}));
  }
  for (UINT i = 0; i < attributes->cFuncs; ++i) {
    FUNCDESC* function = nullptr;
    if (FAILED(info->GetFuncDesc(i, &function))) continue;
    lines.push_back(Member(info.Get(), *function, attributes->typekind == TKIND_INTERFACE));
    info->ReleaseFuncDesc(function);
  }
  info->ReleaseTypeAttr(attributes);
  return lines;
}

// The embedded type library's binary contract, written down as the classes
// are documented: a change that would break compiled clients (a member moved
// in the vtable, a GUID, a dispid, a parameter's type or flags, a default)
// fails here, and so does a type or member without its help string.
TEST(TypeLibrary, TheEmbeddedTypeLibraryKeepsItsBinaryContractForCompiledClients) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  ComPtr<ITypeLib> lib;
  ASSERT_EQ(LoadTypeLibEx((qmtest::ProgramFolder() + L"\\Korvanet.dll").c_str(), REGKIND_NONE, lib.GetAddressOf()),
            S_OK);
  // (The library's own GUID and version: registration.sh finds its key by them.)
  std::map<std::wstring, std::vector<std::wstring>> got;  // by type name
  for (UINT t = 0; t < lib->GetTypeInfoCount(); ++t) {
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(lib->GetTypeInfo(t, info.GetAddressOf()), S_OK);
    const std::vector<std::wstring> lines = Describe(info);
    got[lines[0].substr(0, lines[0].find(L' '))] = lines;
  }
  // Each type: its name, GUID and flags, then what it derives from or implements, then its members.
  std::vector<std::vector<std::wstring>> want = {
      {L"_clsqmHTTPDataRequest1 {3959C96E-86E4-480E-B7A9-F1FE3C656611} dual,nonextensible", L": IDispatch"},
      // Each later version extends the one before: the same vtable, then its
      // own members after the last slot. The newest carries the name that
      // source code was written against.
      {L"_clsqmHTTPDataRequest2 {BE45EF48-9ED7-4609-914F-9EA0D2C299EA} dual,nonextensible",
       L": _clsqmHTTPDataRequest1", L"vResponseBody 35 get(out,retval VARIANT*) @68",
       L"sResponseFile 36 get(out,retval BSTR*) @69", L"sResponseFile 36 put(in BSTR) @70"},
      {L"_clsqmHTTPDataRequest {5752A74F-299B-41A8-A5D6-D4D92A9DD4A9} dual,nonextensible",
       L": _clsqmHTTPDataRequest2", L"gbSend 37 call(in BSTR sMethod, out,retval VARIANT_BOOL* result) @71",
       L"sServerCertSha256 38 get(out,retval BSTR*) @72", L"sServerCertSha256 38 put(in BSTR) @73",
       L"sClientCertificate 39 get(out,retval BSTR*) @74", L"sClientCertificate 39 put(in BSTR) @75"},
      {L"__clsqmHTTPDataRequest {0B110B47-525B-472F-A8D1-89F6EEA4DC82}", L": IDispatch", L"Done 1 call()"},
      // Each creatable class: its default interface, its default source, and
      // the earlier interfaces, which it still implements.
      {L"clsqmHTTPDataRequest {A179089D-D2B9-490D-892F-775170009ED4} cancreate", L": _clsqmHTTPDataRequest default",
       L": __clsqmHTTPDataRequest default,source", L": _clsqmHTTPDataRequest2", L": _clsqmHTTPDataRequest1"},
      // The standard collection: Item is the default member, _NewEnum serves For Each.
      {L"_clsqmCollection {B9C3E756-E692-4E92-9DAA-0D6D36E14346} dual", L": IDispatch",
       L"Add 1 call(in VARIANT* Item, in,optional VARIANT* Key, in,optional VARIANT* Before, "
       L"in,optional VARIANT* After) @7",
       L"Count 2 call(out,retval long* result) @8", L"Item 0 call(in VARIANT* Index, out,retval VARIANT* result) @9",
       L"Remove 3 call(in VARIANT* Index) @10", L"_NewEnum -4 call(out,retval IUnknown** result) @11"},
      {L"clsqmCollection {EF951CD9-5898-4386-9749-82DC7CF78B56}", L": _clsqmCollection default"},
      {L"_clsqmHTTPJob1 {A01AF668-14EF-490D-BDF2-AA73893F407F} dual,nonextensible", L": IDispatch",
       L"gcolRequests 1 get(out,retval _clsqmCollection**) @7",
       L"bAddRequest 2 call(in,out _clsqmHTTPDataRequest** oReq, out,retval VARIANT_BOOL* result) @8",
       L"bDoRequests 3 call(out,retval VARIANT_BOOL* result) @9"},
      {L"_clsqmHTTPJob {60C7CB41-61D5-4CD4-AC2E-6C0FD71305B5} dual,nonextensible", L": _clsqmHTTPJob1",
       L"lMaxConnectionsPerHost 4 get(out,retval long*) @10", L"lMaxConnectionsPerHost 4 put(in long) @11"},
      {L"__clsqmHTTPJob {A541F048-7A6B-486A-BD2F-553C95301A55}", L": IDispatch",
       L"Progress 1 call(in,out long* lRequest)"},
      {L"clsqmHTTPJob {6694ADDE-4F9A-4145-B465-CA705847494F} cancreate", L": _clsqmHTTPJob default",
       L": __clsqmHTTPJob default,source", L": _clsqmHTTPJob1"},
  };
  // The first version's interface, now named after its version: each
  // property a get and a put, dispids from 1 in this order, then the methods.
  std::vector<std::wstring>& first = want[0];
  int slot = 7, id = 0;  // the slots after IDispatch's seven
  for (const wchar_t* property : {
           L"sURL BSTR", L"sData BSTR", L"bParallel VARIANT_BOOL", L"sIdent BSTR", L"sRequestType BSTR",
           L"sUser BSTR", L"sPassword BSTR", L"nAuthmode short", L"sAccept BSTR", L"sAcceptEncoding BSTR",
           L"sHTTPVersion BSTR", L"lErrorcode long", L"sErrortext BSTR", L"sResponse BSTR", L"lResponseCode long",
           L"sResponsestatus BSTR", L"lTimeoutBase long", L"lTimeoutperKB long", L"sHeaders BSTR",
           L"sProxyname BSTR", L"nProxyPort short", L"nProxyType short", L"nProxyAuthmode short",
           L"sProxyUser BSTR", L"sProxyPassword BSTR", L"bTmp VARIANT_BOOL", L"mbDone VARIANT_BOOL"}) {
    const std::wstring text(property), name = text.substr(0, text.find(L' ')), type = text.substr(name.size() + 1);
    const std::wstring head = name + L" " + std::to_wstring(++id);
    first.push_back(head + L" get(out,retval " + type + L"*) @" + std::to_wstring(slot++));
    first.push_back(head + L" put(in " + type + L") @" + std::to_wstring(slot++));
  }
  for (const wchar_t* method : {
           L"bAddHeader 28 call(in,out BSTR* sHeadername, in,out BSTR* sHeaderValue, out,retval VARIANT_BOOL* result)",
           L"bAddFormPostVar 29 call(in,out BSTR* sName, in,out BSTR* sValue, out,retval VARIANT* result)",
           L"mAddFormUploadVar 30 call(in,out BSTR* sName, in,out BSTR* sValue, "
           L"in,optional,default=\"\" BSTR sContentType, out,retval VARIANT* result)",
           L"gbGet 31 call(in,optional,default=0 long lPort, out,retval VARIANT_BOOL* result)",
           L"msCStr 32 call(in,out VARIANT* vnt, out,retval BSTR* result)",
           L"gbPost 33 call(in,optional,default=0 long lPort, out,retval VARIANT_BOOL* result)",
           L"mSetRequestData 34 call()"})
    first.push_back(method + std::wstring(L" @") + std::to_wstring(slot++));
  EXPECT_EQ(got.size(), want.size());
  for (const std::vector<std::wstring>& lines : want) EXPECT_EQ(got[lines[0].substr(0, lines[0].find(L' '))], lines);
  lib.Reset();
  CoUninitialize();
}

}  // namespace
