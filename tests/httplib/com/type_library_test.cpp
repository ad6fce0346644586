// The type library that compiled clients (VB6, VBA, C++) were built
// against, read from the DLL: names, dispids, parameter types and flags,
// vtable order of every interface version, help strings.
#include <gtest/gtest.h>

#include <windows.h>
#include <cguid.h>

#include <string>
#include <utility>
#include <vector>

#include <initguid.h>

#include "Korvanet_h.h"
#include "korvanetTestSupport.h"
#include "qmTestSupport.h"

using namespace korvanettest;

namespace {

// The type library's binary contract, written down as the classes are
// documented: a change that would break compiled clients (a member moved in
// the vtable, a dispid, a parameter's type or flags, a default) fails here.
std::wstring TypeText(ITypeInfo* info, const TYPEDESC& type) {
  switch (type.vt) {
    case VT_PTR: return TypeText(info, *type.lptdesc) + L"*";
    case VT_USERDEFINED: {
      ComPtr<ITypeInfo> referenced;
      BSTR name = nullptr;
      if (FAILED(info->GetRefTypeInfo(type.hreftype, referenced.GetAddressOf())) ||
          FAILED(referenced->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr)))
        return L"?";
      std::wstring text(name);
      SysFreeString(name);
      return text;
    }
    case VT_BSTR: return L"BSTR";
    case VT_BOOL: return L"VARIANT_BOOL";
    case VT_I2: return L"short";
    case VT_I4: return L"long";
    case VT_VARIANT: return L"VARIANT";
    case VT_UNKNOWN: return L"IUnknown*";  // the pointer itself
    case VT_DISPATCH: return L"IDispatch*";
    case VT_HRESULT: return L"HRESULT";
    case VT_VOID: return L"void";
    default: return L"vt" + std::to_wstring(type.vt);
  }
}

// One line per member in vtable order: name, dispid, kind, and each
// parameter's flags, default, type and name.
std::vector<std::wstring> Members(ITypeInfo* info) {
  std::vector<std::wstring> members;
  TYPEATTR* attributes = nullptr;
  if (FAILED(info->GetTypeAttr(&attributes))) return members;
  for (UINT i = 0; i < attributes->cFuncs; ++i) {
    FUNCDESC* function = nullptr;
    if (FAILED(info->GetFuncDesc(i, &function))) continue;
    BSTR names[16] = {};
    UINT count = 0;
    info->GetNames(function->memid, names, 16, &count);
    std::wstring line = std::wstring(names[0] ? names[0] : L"") + L" " + std::to_wstring(function->memid) + L" ";
    line += function->invkind == INVOKE_PROPERTYGET ? L"get" : function->invkind == INVOKE_PROPERTYPUT ? L"put"
            : function->invkind == INVOKE_PROPERTYPUTREF ? L"putref" : L"call";
    line += L"(";
    for (SHORT p = 0; p < function->cParams; ++p) {
      const ELEMDESC& element = function->lprgelemdescParam[p];
      const USHORT flags = element.paramdesc.wParamFlags;
      std::wstring text;
      auto flag = [&](USHORT bit, const wchar_t* word) {
        if (flags & bit) text += (text.empty() ? L"" : L",") + std::wstring(word);
      };
      flag(PARAMFLAG_FIN, L"in");
      flag(PARAMFLAG_FOUT, L"out");
      flag(PARAMFLAG_FRETVAL, L"retval");
      flag(PARAMFLAG_FOPT, L"optional");
      if ((flags & PARAMFLAG_FHASDEFAULT) && element.paramdesc.pparamdescex) {
        Var value;
        VariantCopy(&value.v, &element.paramdesc.pparamdescex->varDefaultValue);
        text += L",default=" + (V_VT(&value.v) == VT_BSTR ? L"\"" + value.Text() + L"\"" : value.Text());
      }
      text += L" " + TypeText(info, element.tdesc);
      // A property's value and a method's result carry no name of their own.
      if (function->invkind == INVOKE_FUNC && static_cast<UINT>(p + 1) < count && names[p + 1])
        text += L" " + std::wstring(names[p + 1]);
      line += (p ? L", " : L"") + text;
    }
    line += L")";
    if (attributes->typekind == TKIND_INTERFACE)
      line += L" @" + std::to_wstring(function->oVft / static_cast<SHORT>(sizeof(void*)));
    for (UINT n = 0; n < count; ++n) SysFreeString(names[n]);
    members.push_back(line);
    info->ReleaseFuncDesc(function);
  }
  info->ReleaseTypeAttr(attributes);
  return members;
}

// The interface half of a dual interface, or the type itself.
ComPtr<ITypeInfo> TypeOf(ITypeLib* lib, REFGUID guid, bool vtable, WORD* flags = nullptr) {
  ComPtr<ITypeInfo> info;
  if (FAILED(lib->GetTypeInfoOfGuid(guid, info.GetAddressOf()))) return info;
  TYPEATTR* attributes = nullptr;
  if (flags && SUCCEEDED(info->GetTypeAttr(&attributes))) {
    *flags = attributes->wTypeFlags;
    info->ReleaseTypeAttr(attributes);
  }
  HREFTYPE ref = 0;
  ComPtr<ITypeInfo> half;
  if (vtable && SUCCEEDED(info->GetRefTypeOfImplType(-1, &ref)) &&
      SUCCEEDED(info->GetRefTypeInfo(ref, half.GetAddressOf())))
    return half;
  return info;
}

// Line by line, so a difference names the member.
void ExpectMembers(const std::vector<std::wstring>& got, const std::vector<std::wstring>& want) {
  EXPECT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size() && i < want.size(); ++i) EXPECT_EQ(got[i], want[i]);
}

// Numbered in vtable order after IDispatch's seven slots.
std::vector<std::wstring> InVtableOrder(std::vector<std::wstring> members) {
  for (size_t i = 0; i < members.size(); ++i) members[i] += L" @" + std::to_wstring(7 + i);
  return members;
}

// The type library embedded in the DLL, as compilers and object browsers read it.
class TypeLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    ASSERT_EQ(LoadTypeLibEx((qmtest::ProgramFolder() + L"\\Korvanet.dll").c_str(), REGKIND_NONE,
                            lib.GetAddressOf()),
              S_OK);
  }
  void TearDown() override {
    lib.Reset();
    CoUninitialize();
  }
  ComPtr<ITypeLib> lib;
};

TEST_F(TypeLibrary, TheEmbeddedTypeLibraryKeepsItsBinaryContractForCompiledClients) {
  TLIBATTR* libAttributes = nullptr;
  ASSERT_EQ(lib->GetLibAttr(&libAttributes), S_OK);
  EXPECT_TRUE(IsEqualGUID(libAttributes->guid, LIBID_Korvanet));
  EXPECT_EQ(libAttributes->wMajorVerNum, 1);
  EXPECT_EQ(libAttributes->wMinorVerNum, 0);
  lib->ReleaseTLibAttr(libAttributes);

  // The first version's interface, now named after its version: each
  // property a get and a put, dispids from 1 in this order, then the methods.
  std::vector<std::wstring> first;
  const wchar_t* const properties[] = {
      L"sURL BSTR", L"sData BSTR", L"bParallel VARIANT_BOOL", L"sIdent BSTR", L"sRequestType BSTR",
      L"sUser BSTR", L"sPassword BSTR", L"nAuthmode short", L"sAccept BSTR", L"sAcceptEncoding BSTR",
      L"sHTTPVersion BSTR", L"lErrorcode long", L"sErrortext BSTR", L"sResponse BSTR", L"lResponseCode long",
      L"sResponsestatus BSTR", L"lTimeoutBase long", L"lTimeoutperKB long", L"sHeaders BSTR",
      L"sProxyname BSTR", L"nProxyPort short", L"nProxyType short", L"nProxyAuthmode short",
      L"sProxyUser BSTR", L"sProxyPassword BSTR", L"bTmp VARIANT_BOOL", L"mbDone VARIANT_BOOL",
  };
  for (const wchar_t* property : properties) {
    const std::wstring text(property), name = text.substr(0, text.find(L' ')), type = text.substr(name.size() + 1);
    const std::wstring id = std::to_wstring(first.size() / 2 + 1);
    first.push_back(name + L" " + id + L" get(out,retval " + type + L"*)");
    first.push_back(name + L" " + id + L" put(in " + type + L")");
  }
  for (const wchar_t* method : {
           L"bAddHeader 28 call(in,out BSTR* sHeadername, in,out BSTR* sHeaderValue, out,retval VARIANT_BOOL* result)",
           L"bAddFormPostVar 29 call(in,out BSTR* sName, in,out BSTR* sValue, out,retval VARIANT* result)",
           L"mAddFormUploadVar 30 call(in,out BSTR* sName, in,out BSTR* sValue, in,optional,default=\"\" BSTR sContentType, out,retval VARIANT* result)",
           L"gbGet 31 call(in,optional,default=0 long lPort, out,retval VARIANT_BOOL* result)",
           L"msCStr 32 call(in,out VARIANT* vnt, out,retval BSTR* result)",
           L"gbPost 33 call(in,optional,default=0 long lPort, out,retval VARIANT_BOOL* result)",
           L"mSetRequestData 34 call()",
       })
    first.push_back(method);
  WORD flags = 0;
  ExpectMembers(Members(TypeOf(lib.Get(), IID__clsqmHTTPDataRequest1, true, &flags).Get()), InVtableOrder(first));
  EXPECT_EQ(flags & (TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE), TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE);
  // Each later version extends the one before: the same vtable, then its
  // own members after the last slot. The newest carries the name that
  // source code was written against.
  struct Version {
    const IID* iid;
    const wchar_t* name;
    const IID* base;
    std::vector<std::wstring> members;
  } versions[] = {
      {&IID__clsqmHTTPDataRequest2, L"_clsqmHTTPDataRequest2", &IID__clsqmHTTPDataRequest1,
       {L"vResponseBody 35 get(out,retval VARIANT*) @68", L"sResponseFile 36 get(out,retval BSTR*) @69",
        L"sResponseFile 36 put(in BSTR) @70"}},
      {&IID__clsqmHTTPDataRequest, L"_clsqmHTTPDataRequest", &IID__clsqmHTTPDataRequest2,
       {L"gbSend 37 call(in BSTR sMethod, out,retval VARIANT_BOOL* result) @71",
          L"sServerCertSha256 38 get(out,retval BSTR*) @72", L"sServerCertSha256 38 put(in BSTR) @73",
          L"sClientCertificate 39 get(out,retval BSTR*) @74", L"sClientCertificate 39 put(in BSTR) @75"}},
      {&IID__clsqmHTTPJob, L"_clsqmHTTPJob", &IID__clsqmHTTPJob1,
       {L"lMaxConnectionsPerHost 4 get(out,retval long*) @10", L"lMaxConnectionsPerHost 4 put(in long) @11"}},
  };
  for (const Version& version : versions) {
    SCOPED_TRACE(version.name);
    ComPtr<ITypeInfo> extension = TypeOf(lib.Get(), *version.iid, true, &flags);
    ASSERT_NE(extension.Get(), nullptr);
    ExpectMembers(Members(extension.Get()), version.members);
    EXPECT_EQ(flags & (TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE), TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE);
    BSTR name = nullptr;
    ASSERT_EQ(extension->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(std::wstring(name), version.name);
    SysFreeString(name);
    HREFTYPE baseRef = 0;
    ComPtr<ITypeInfo> base;
    TYPEATTR* baseAttributes = nullptr;
    ASSERT_EQ(extension->GetRefTypeOfImplType(0, &baseRef), S_OK);
    ASSERT_EQ(extension->GetRefTypeInfo(baseRef, base.GetAddressOf()), S_OK);
    ASSERT_EQ(base->GetTypeAttr(&baseAttributes), S_OK);
    EXPECT_TRUE(IsEqualGUID(baseAttributes->guid, *version.base));
    base->ReleaseTypeAttr(baseAttributes);
  }
  ExpectMembers(Members(TypeOf(lib.Get(), IID__clsqmHTTPJob1, true, &flags).Get()),
            InVtableOrder({
                L"gcolRequests 1 get(out,retval _clsqmCollection**)",
                L"bAddRequest 2 call(in,out _clsqmHTTPDataRequest** oReq, out,retval VARIANT_BOOL* result)",
                L"bDoRequests 3 call(out,retval VARIANT_BOOL* result)",
            }));
  EXPECT_EQ(flags & TYPEFLAG_FDUAL, TYPEFLAG_FDUAL);
  // The standard collection: Item is the default member, _NewEnum serves For Each.
  ExpectMembers(Members(TypeOf(lib.Get(), IID__clsqmCollection, true).Get()),
            InVtableOrder({
                L"Add 1 call(in VARIANT* Item, in,optional VARIANT* Key, in,optional VARIANT* Before, "
                L"in,optional VARIANT* After)",
                L"Count 2 call(out,retval long* result)",
                L"Item 0 call(in VARIANT* Index, out,retval VARIANT* result)",
                L"Remove 3 call(in VARIANT* Index)",
                L"_NewEnum -4 call(out,retval IUnknown** result)",
            }));
  ExpectMembers(Members(TypeOf(lib.Get(), DIID___clsqmHTTPDataRequest, false).Get()),
            std::vector<std::wstring>{L"Done 1 call()"});
  ExpectMembers(Members(TypeOf(lib.Get(), DIID___clsqmHTTPJob, false).Get()),
            std::vector<std::wstring>{L"Progress 1 call(in,out long* lRequest)"});

  // Each creatable class: its default interface, its default source, and
  // the request's first interface, which it still implements.
  using Implemented = std::vector<std::pair<const GUID*, INT>>;
  for (const auto& [clsid, want] :
       {std::pair{&CLSID_clsqmHTTPDataRequest,
                  Implemented{{&IID__clsqmHTTPDataRequest, IMPLTYPEFLAG_FDEFAULT},
                              {&DIID___clsqmHTTPDataRequest, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE},
                              {&IID__clsqmHTTPDataRequest2, 0},
                              {&IID__clsqmHTTPDataRequest1, 0}}},
        std::pair{&CLSID_clsqmHTTPJob, Implemented{{&IID__clsqmHTTPJob, IMPLTYPEFLAG_FDEFAULT},
                                                   {&DIID___clsqmHTTPJob, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE},
                                                   {&IID__clsqmHTTPJob1, 0}}}}) {
    ComPtr<ITypeInfo> coclass = TypeOf(lib.Get(), *clsid, false, &flags);
    ASSERT_NE(coclass.Get(), nullptr);
    EXPECT_TRUE(flags & TYPEFLAG_FCANCREATE);
    TYPEATTR* classAttributes = nullptr;
    ASSERT_EQ(coclass->GetTypeAttr(&classAttributes), S_OK);
    EXPECT_EQ(classAttributes->cImplTypes, want.size());
    coclass->ReleaseTypeAttr(classAttributes);
    std::vector<std::pair<GUID, INT>> implemented;
    for (UINT i = 0; i < want.size(); ++i) {
      HREFTYPE ref = 0;
      ComPtr<ITypeInfo> type;
      INT implFlags = 0;
      TYPEATTR* attributes = nullptr;
      ASSERT_EQ(coclass->GetRefTypeOfImplType(i, &ref), S_OK);
      ASSERT_EQ(coclass->GetRefTypeInfo(ref, type.GetAddressOf()), S_OK);
      coclass->GetImplTypeFlags(i, &implFlags);
      ASSERT_EQ(type->GetTypeAttr(&attributes), S_OK);
      implemented.emplace_back(attributes->guid, implFlags);
      type->ReleaseTypeAttr(attributes);
    }
    for (size_t i = 0; i < want.size(); ++i) {
      EXPECT_TRUE(IsEqualGUID(implemented[i].first, *want[i].first)) << i;
      EXPECT_EQ(implemented[i].second, want[i].second) << i;
    }
  }
}

TEST_F(TypeLibrary, EveryTypeAndMemberCarriesAHelpString) {
  // What the Object Browser and IntelliSense show beside a name.
  auto help = [](ITypeInfo* info, MEMBERID id) {
    BSTR name = nullptr, text = nullptr;
    info->GetDocumentation(id, &name, &text, nullptr, nullptr);
    std::pair<std::wstring, std::wstring> both{name ? name : L"", text ? text : L""};
    SysFreeString(name);
    SysFreeString(text);
    return both;
  };
  std::vector<std::wstring> missing;
  size_t members = 0;
  for (UINT t = 0; t < lib->GetTypeInfoCount(); ++t) {
    ComPtr<ITypeInfo> info;
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(lib->GetTypeInfo(t, info.GetAddressOf()), S_OK);
    ASSERT_EQ(info->GetTypeAttr(&attributes), S_OK);
    const auto [typeName, typeHelp] = help(info.Get(), MEMBERID_NIL);
    if (typeHelp.empty()) missing.push_back(typeName);
    for (UINT f = 0; f < attributes->cFuncs; ++f) {
      FUNCDESC* function = nullptr;
      ASSERT_EQ(info->GetFuncDesc(f, &function), S_OK);
      // (IUnknown's and IDispatch's own, which no client calls by name.)
      const auto [name, text] = help(info.Get(), function->memid);
      if (text.empty() && !(function->wFuncFlags & FUNCFLAG_FRESTRICTED))
        missing.push_back(typeName + L"." + name);
      ++members;
      info->ReleaseFuncDesc(function);
    }
    info->ReleaseTypeAttr(attributes);
  }
  EXPECT_GT(members, 80u);
  EXPECT_EQ(missing, std::vector<std::wstring>{});
}

}  // namespace
