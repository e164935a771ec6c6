// The UI Automation client interfaces that the code calls, declared by hand
// (the mingw-w64 headers lack them), as C-style vtables so that every slot
// position is checked at compile time. Unused slots keep their place with
// the published method name and untyped parameters. IIDs and CLSIDs are the
// published ones.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstddef>

namespace vor::desktop::uia::com {

// {E22AD333-B25F-460C-83D0-0581107395C9}
inline constexpr GUID kClsidCUIAutomation8 = {0xE22AD333, 0xB25F, 0x460C, {0x83, 0xD0, 0x05, 0x81, 0x10, 0x73, 0x95, 0xC9}};
// {30CBE57D-D9D0-452A-AB13-7AC5AC4825EE}
inline constexpr GUID kIidIUIAutomation = {0x30CBE57D, 0xD9D0, 0x452A, {0xAB, 0x13, 0x7A, 0xC5, 0xAC, 0x48, 0x25, 0xEE}};
// {34723AFF-0C9D-49D0-9896-7AB52DF8CD8A}: IUIAutomation2, which holds the
// focus and time-out settings.
inline constexpr GUID kIidIUIAutomation2 = {0x34723AFF, 0x0C9D, 0x49D0, {0x98, 0x96, 0x7A, 0xB5, 0x2D, 0xF8, 0xCD, 0x8A}};
// {FB377FBE-8EA6-46D5-9C73-6499642D3059}
inline constexpr GUID kIidIUIAutomationInvokePattern = {0xFB377FBE, 0x8EA6, 0x46D5, {0x9C, 0x73, 0x64, 0x99, 0x64, 0x2D, 0x30, 0x59}};
// {A94CD8B1-0844-4CD6-9D2D-640537AB39E9}
inline constexpr GUID kIidIUIAutomationValuePattern = {0xA94CD8B1, 0x0844, 0x4CD6, {0x9D, 0x2D, 0x64, 0x05, 0x37, 0xAB, 0x39, 0xE9}};

inline constexpr int kTreeScopeElement = 1;

struct Element;
struct CacheRequest;
struct TreeWalker;
struct Automation;
struct InvokePattern;
struct ValuePattern;

#define VOR_COM_SLOT(Name, ...) HRESULT(STDMETHODCALLTYPE* Name)(__VA_ARGS__)
#define VOR_IUNKNOWN_SLOTS(This)                                  \
  HRESULT(STDMETHODCALLTYPE* QueryInterface)(This*, REFIID, void**); \
  ULONG(STDMETHODCALLTYPE* AddRef)(This*);                        \
  ULONG(STDMETHODCALLTYPE* Release)(This*)

struct AutomationVtbl {  // IUIAutomation, then IUIAutomation2
  VOR_IUNKNOWN_SLOTS(Automation);
  VOR_COM_SLOT(CompareElements, Automation*, Element*, Element*, BOOL*);
  VOR_COM_SLOT(CompareRuntimeIds, Automation*, void*, void*, BOOL*);
  VOR_COM_SLOT(GetRootElement, Automation*, Element**);
  VOR_COM_SLOT(ElementFromHandle, Automation*, void*, Element**);
  VOR_COM_SLOT(ElementFromPoint, Automation*, POINT, Element**);
  VOR_COM_SLOT(GetFocusedElement, Automation*, Element**);
  VOR_COM_SLOT(GetRootElementBuildCache, Automation*, CacheRequest*, Element**);
  VOR_COM_SLOT(ElementFromHandleBuildCache, Automation*, void*, CacheRequest*, Element**);
  VOR_COM_SLOT(ElementFromPointBuildCache, Automation*, POINT, CacheRequest*, Element**);
  VOR_COM_SLOT(GetFocusedElementBuildCache, Automation*, CacheRequest*, Element**);
  VOR_COM_SLOT(CreateTreeWalker, Automation*, void*, TreeWalker**);
  VOR_COM_SLOT(get_ControlViewWalker, Automation*, TreeWalker**);
  VOR_COM_SLOT(get_ContentViewWalker, Automation*, TreeWalker**);
  VOR_COM_SLOT(get_RawViewWalker, Automation*, TreeWalker**);
  VOR_COM_SLOT(get_RawViewCondition, Automation*, void**);
  VOR_COM_SLOT(get_ControlViewCondition, Automation*, void**);
  VOR_COM_SLOT(get_ContentViewCondition, Automation*, void**);
  VOR_COM_SLOT(CreateCacheRequest, Automation*, CacheRequest**);
  VOR_COM_SLOT(CreateTrueCondition, Automation*, void**);
  VOR_COM_SLOT(CreateFalseCondition, Automation*, void**);
  VOR_COM_SLOT(CreatePropertyCondition, Automation*, int, VARIANT, void**);
  VOR_COM_SLOT(CreatePropertyConditionEx, Automation*, int, VARIANT, int, void**);
  VOR_COM_SLOT(CreateAndCondition, Automation*, void*, void*, void**);
  VOR_COM_SLOT(CreateAndConditionFromArray, Automation*, void*, void**);
  VOR_COM_SLOT(CreateAndConditionFromNativeArray, Automation*, void**, int, void**);
  VOR_COM_SLOT(CreateOrCondition, Automation*, void*, void*, void**);
  VOR_COM_SLOT(CreateOrConditionFromArray, Automation*, void*, void**);
  VOR_COM_SLOT(CreateOrConditionFromNativeArray, Automation*, void**, int, void**);
  VOR_COM_SLOT(CreateNotCondition, Automation*, void*, void**);
  VOR_COM_SLOT(AddAutomationEventHandler, Automation*, int, Element*, int, CacheRequest*, void*);
  VOR_COM_SLOT(RemoveAutomationEventHandler, Automation*, int, Element*, void*);
  VOR_COM_SLOT(AddPropertyChangedEventHandlerNativeArray, Automation*, Element*, int, CacheRequest*, void*, int*, int);
  VOR_COM_SLOT(AddPropertyChangedEventHandler, Automation*, Element*, int, CacheRequest*, void*, void*);
  VOR_COM_SLOT(RemovePropertyChangedEventHandler, Automation*, Element*, void*);
  VOR_COM_SLOT(AddStructureChangedEventHandler, Automation*, Element*, int, CacheRequest*, void*);
  VOR_COM_SLOT(RemoveStructureChangedEventHandler, Automation*, Element*, void*);
  VOR_COM_SLOT(AddFocusChangedEventHandler, Automation*, CacheRequest*, void*);
  VOR_COM_SLOT(RemoveFocusChangedEventHandler, Automation*, void*);
  VOR_COM_SLOT(RemoveAllEventHandlers, Automation*);
  VOR_COM_SLOT(IntNativeArrayToSafeArray, Automation*, int*, int, void**);
  VOR_COM_SLOT(IntSafeArrayToNativeArray, Automation*, void*, int**, int*);
  VOR_COM_SLOT(RectToVariant, Automation*, RECT, VARIANT*);
  VOR_COM_SLOT(VariantToRect, Automation*, VARIANT, RECT*);
  VOR_COM_SLOT(SafeArrayToRectNativeArray, Automation*, void*, RECT**, int*);
  VOR_COM_SLOT(CreateProxyFactoryEntry, Automation*, void*, void**);
  VOR_COM_SLOT(get_ProxyFactoryMapping, Automation*, void**);
  VOR_COM_SLOT(GetPropertyProgrammaticName, Automation*, int, BSTR*);
  VOR_COM_SLOT(GetPatternProgrammaticName, Automation*, int, BSTR*);
  VOR_COM_SLOT(PollForPotentialSupportedPatterns, Automation*, Element*, void**, void**);
  VOR_COM_SLOT(PollForPotentialSupportedProperties, Automation*, Element*, void**, void**);
  VOR_COM_SLOT(CheckNotSupported, Automation*, VARIANT, BOOL*);
  VOR_COM_SLOT(get_ReservedNotSupportedValue, Automation*, IUnknown**);
  VOR_COM_SLOT(get_ReservedMixedAttributeValue, Automation*, IUnknown**);
  VOR_COM_SLOT(ElementFromIAccessible, Automation*, void*, int, Element**);
  VOR_COM_SLOT(ElementFromIAccessibleBuildCache, Automation*, void*, int, CacheRequest*, Element**);
  // IUIAutomation2
  VOR_COM_SLOT(get_AutoSetFocus, Automation*, BOOL*);
  VOR_COM_SLOT(put_AutoSetFocus, Automation*, BOOL);
  VOR_COM_SLOT(get_ConnectionTimeout, Automation*, DWORD*);
  VOR_COM_SLOT(put_ConnectionTimeout, Automation*, DWORD);
  VOR_COM_SLOT(get_TransactionTimeout, Automation*, DWORD*);
  VOR_COM_SLOT(put_TransactionTimeout, Automation*, DWORD);
};
struct Automation {
  const AutomationVtbl* lpVtbl;
};

// The 32 property getters, in slot order; the cached ones follow the
// current ones in the same order.
#define VOR_ELEMENT_PROPERTY_SLOTS(Prefix)                      \
  VOR_COM_SLOT(Prefix##ProcessId, Element*, int*);              \
  VOR_COM_SLOT(Prefix##ControlType, Element*, int*);            \
  VOR_COM_SLOT(Prefix##LocalizedControlType, Element*, BSTR*);  \
  VOR_COM_SLOT(Prefix##Name, Element*, BSTR*);                  \
  VOR_COM_SLOT(Prefix##AcceleratorKey, Element*, BSTR*);        \
  VOR_COM_SLOT(Prefix##AccessKey, Element*, BSTR*);             \
  VOR_COM_SLOT(Prefix##HasKeyboardFocus, Element*, BOOL*);      \
  VOR_COM_SLOT(Prefix##IsKeyboardFocusable, Element*, BOOL*);   \
  VOR_COM_SLOT(Prefix##IsEnabled, Element*, BOOL*);             \
  VOR_COM_SLOT(Prefix##AutomationId, Element*, BSTR*);          \
  VOR_COM_SLOT(Prefix##ClassName, Element*, BSTR*);             \
  VOR_COM_SLOT(Prefix##HelpText, Element*, BSTR*);              \
  VOR_COM_SLOT(Prefix##Culture, Element*, int*);                \
  VOR_COM_SLOT(Prefix##IsControlElement, Element*, BOOL*);      \
  VOR_COM_SLOT(Prefix##IsContentElement, Element*, BOOL*);      \
  VOR_COM_SLOT(Prefix##IsPassword, Element*, BOOL*);            \
  VOR_COM_SLOT(Prefix##NativeWindowHandle, Element*, void**);   \
  VOR_COM_SLOT(Prefix##ItemType, Element*, BSTR*);              \
  VOR_COM_SLOT(Prefix##IsOffscreen, Element*, BOOL*);           \
  VOR_COM_SLOT(Prefix##Orientation, Element*, int*);            \
  VOR_COM_SLOT(Prefix##FrameworkId, Element*, BSTR*);           \
  VOR_COM_SLOT(Prefix##IsRequiredForForm, Element*, BOOL*);     \
  VOR_COM_SLOT(Prefix##ItemStatus, Element*, BSTR*);            \
  VOR_COM_SLOT(Prefix##BoundingRectangle, Element*, RECT*);     \
  VOR_COM_SLOT(Prefix##LabeledBy, Element*, Element**);         \
  VOR_COM_SLOT(Prefix##AriaRole, Element*, BSTR*);              \
  VOR_COM_SLOT(Prefix##AriaProperties, Element*, BSTR*);        \
  VOR_COM_SLOT(Prefix##IsDataValidForForm, Element*, BOOL*);    \
  VOR_COM_SLOT(Prefix##ControllerFor, Element*, void**);        \
  VOR_COM_SLOT(Prefix##DescribedBy, Element*, void**);          \
  VOR_COM_SLOT(Prefix##FlowsTo, Element*, void**);              \
  VOR_COM_SLOT(Prefix##ProviderDescription, Element*, BSTR*)

struct ElementVtbl {  // IUIAutomationElement
  VOR_IUNKNOWN_SLOTS(Element);
  VOR_COM_SLOT(SetFocus, Element*);
  VOR_COM_SLOT(GetRuntimeId, Element*, void**);
  VOR_COM_SLOT(FindFirst, Element*, int, void*, Element**);
  VOR_COM_SLOT(FindAll, Element*, int, void*, void**);
  VOR_COM_SLOT(FindFirstBuildCache, Element*, int, void*, CacheRequest*, Element**);
  VOR_COM_SLOT(FindAllBuildCache, Element*, int, void*, CacheRequest*, void**);
  VOR_COM_SLOT(BuildUpdatedCache, Element*, CacheRequest*, Element**);
  VOR_COM_SLOT(GetCurrentPropertyValue, Element*, int, VARIANT*);
  VOR_COM_SLOT(GetCurrentPropertyValueEx, Element*, int, BOOL, VARIANT*);
  VOR_COM_SLOT(GetCachedPropertyValue, Element*, int, VARIANT*);
  VOR_COM_SLOT(GetCachedPropertyValueEx, Element*, int, BOOL, VARIANT*);
  VOR_COM_SLOT(GetCurrentPatternAs, Element*, int, REFIID, void**);
  VOR_COM_SLOT(GetCachedPatternAs, Element*, int, REFIID, void**);
  VOR_COM_SLOT(GetCurrentPattern, Element*, int, IUnknown**);
  VOR_COM_SLOT(GetCachedPattern, Element*, int, IUnknown**);
  VOR_COM_SLOT(GetCachedParent, Element*, Element**);
  VOR_COM_SLOT(GetCachedChildren, Element*, void**);
  VOR_ELEMENT_PROPERTY_SLOTS(get_Current);
  VOR_ELEMENT_PROPERTY_SLOTS(get_Cached);
  VOR_COM_SLOT(GetClickablePoint, Element*, POINT*, BOOL*);
};
struct Element {
  const ElementVtbl* lpVtbl;
};

struct CacheRequestVtbl {  // IUIAutomationCacheRequest
  VOR_IUNKNOWN_SLOTS(CacheRequest);
  VOR_COM_SLOT(AddProperty, CacheRequest*, int);
  VOR_COM_SLOT(AddPattern, CacheRequest*, int);
  VOR_COM_SLOT(Clone, CacheRequest*, CacheRequest**);
  VOR_COM_SLOT(get_TreeScope, CacheRequest*, int*);
  VOR_COM_SLOT(put_TreeScope, CacheRequest*, int);
  VOR_COM_SLOT(get_TreeFilter, CacheRequest*, void**);
  VOR_COM_SLOT(put_TreeFilter, CacheRequest*, void*);
  VOR_COM_SLOT(get_AutomationElementMode, CacheRequest*, int*);
  VOR_COM_SLOT(put_AutomationElementMode, CacheRequest*, int);
};
struct CacheRequest {
  const CacheRequestVtbl* lpVtbl;
};

struct TreeWalkerVtbl {  // IUIAutomationTreeWalker
  VOR_IUNKNOWN_SLOTS(TreeWalker);
  VOR_COM_SLOT(GetParentElement, TreeWalker*, Element*, Element**);
  VOR_COM_SLOT(GetFirstChildElement, TreeWalker*, Element*, Element**);
  VOR_COM_SLOT(GetLastChildElement, TreeWalker*, Element*, Element**);
  VOR_COM_SLOT(GetNextSiblingElement, TreeWalker*, Element*, Element**);
  VOR_COM_SLOT(GetPreviousSiblingElement, TreeWalker*, Element*, Element**);
  VOR_COM_SLOT(NormalizeElement, TreeWalker*, Element*, Element**);
  VOR_COM_SLOT(GetParentElementBuildCache, TreeWalker*, Element*, CacheRequest*, Element**);
  VOR_COM_SLOT(GetFirstChildElementBuildCache, TreeWalker*, Element*, CacheRequest*, Element**);
  VOR_COM_SLOT(GetLastChildElementBuildCache, TreeWalker*, Element*, CacheRequest*, Element**);
  VOR_COM_SLOT(GetNextSiblingElementBuildCache, TreeWalker*, Element*, CacheRequest*, Element**);
  VOR_COM_SLOT(GetPreviousSiblingElementBuildCache, TreeWalker*, Element*, CacheRequest*, Element**);
  VOR_COM_SLOT(NormalizeElementBuildCache, TreeWalker*, Element*, CacheRequest*, Element**);
  VOR_COM_SLOT(get_Condition, TreeWalker*, void**);
};
struct TreeWalker {
  const TreeWalkerVtbl* lpVtbl;
};

struct InvokePatternVtbl {  // IUIAutomationInvokePattern
  VOR_IUNKNOWN_SLOTS(InvokePattern);
  VOR_COM_SLOT(Invoke, InvokePattern*);
};
struct InvokePattern {
  const InvokePatternVtbl* lpVtbl;
};

struct ValuePatternVtbl {  // IUIAutomationValuePattern
  VOR_IUNKNOWN_SLOTS(ValuePattern);
  VOR_COM_SLOT(SetValue, ValuePattern*, BSTR);
  VOR_COM_SLOT(get_CurrentValue, ValuePattern*, BSTR*);
  VOR_COM_SLOT(get_CurrentIsReadOnly, ValuePattern*, BOOL*);
  VOR_COM_SLOT(get_CachedValue, ValuePattern*, BSTR*);
  VOR_COM_SLOT(get_CachedIsReadOnly, ValuePattern*, BOOL*);
};
struct ValuePattern {
  const ValuePatternVtbl* lpVtbl;
};

#undef VOR_ELEMENT_PROPERTY_SLOTS
#undef VOR_IUNKNOWN_SLOTS
#undef VOR_COM_SLOT

#define VOR_SLOT(Vtbl, Name, Index) static_assert(offsetof(Vtbl, Name) == (Index) * sizeof(void*), #Name)
VOR_SLOT(AutomationVtbl, Release, 2);
VOR_SLOT(AutomationVtbl, CompareElements, 3);
VOR_SLOT(AutomationVtbl, ElementFromHandleBuildCache, 10);
VOR_SLOT(AutomationVtbl, get_ControlViewWalker, 14);
VOR_SLOT(AutomationVtbl, CreateCacheRequest, 20);
VOR_SLOT(AutomationVtbl, ElementFromIAccessibleBuildCache, 57);
VOR_SLOT(AutomationVtbl, put_AutoSetFocus, 59);
VOR_SLOT(AutomationVtbl, put_ConnectionTimeout, 61);
VOR_SLOT(AutomationVtbl, put_TransactionTimeout, 63);
static_assert(sizeof(AutomationVtbl) == 64 * sizeof(void*));
VOR_SLOT(ElementVtbl, GetCurrentPatternAs, 14);
VOR_SLOT(ElementVtbl, GetCachedChildren, 19);
VOR_SLOT(ElementVtbl, get_CurrentProcessId, 20);
VOR_SLOT(ElementVtbl, get_CurrentControlType, 21);
VOR_SLOT(ElementVtbl, get_CurrentName, 23);
VOR_SLOT(ElementVtbl, get_CurrentIsEnabled, 28);
VOR_SLOT(ElementVtbl, get_CurrentAutomationId, 29);
VOR_SLOT(ElementVtbl, get_CurrentClassName, 30);
VOR_SLOT(ElementVtbl, get_CurrentIsPassword, 35);
VOR_SLOT(ElementVtbl, get_CurrentNativeWindowHandle, 36);
VOR_SLOT(ElementVtbl, get_CurrentIsOffscreen, 38);
VOR_SLOT(ElementVtbl, get_CurrentBoundingRectangle, 43);
VOR_SLOT(ElementVtbl, get_CurrentProviderDescription, 51);
VOR_SLOT(ElementVtbl, get_CachedProcessId, 52);
VOR_SLOT(ElementVtbl, get_CachedControlType, 53);
VOR_SLOT(ElementVtbl, get_CachedName, 55);
VOR_SLOT(ElementVtbl, get_CachedIsEnabled, 60);
VOR_SLOT(ElementVtbl, get_CachedAutomationId, 61);
VOR_SLOT(ElementVtbl, get_CachedClassName, 62);
VOR_SLOT(ElementVtbl, get_CachedIsPassword, 67);
VOR_SLOT(ElementVtbl, get_CachedNativeWindowHandle, 68);
VOR_SLOT(ElementVtbl, get_CachedIsOffscreen, 70);
VOR_SLOT(ElementVtbl, get_CachedBoundingRectangle, 75);
VOR_SLOT(ElementVtbl, GetClickablePoint, 84);
static_assert(sizeof(ElementVtbl) == 85 * sizeof(void*));
VOR_SLOT(CacheRequestVtbl, AddProperty, 3);
VOR_SLOT(CacheRequestVtbl, put_TreeScope, 7);
static_assert(sizeof(CacheRequestVtbl) == 12 * sizeof(void*));
VOR_SLOT(TreeWalkerVtbl, GetFirstChildElementBuildCache, 10);
VOR_SLOT(TreeWalkerVtbl, GetNextSiblingElementBuildCache, 12);
static_assert(sizeof(TreeWalkerVtbl) == 16 * sizeof(void*));
VOR_SLOT(InvokePatternVtbl, Invoke, 3);
VOR_SLOT(ValuePatternVtbl, SetValue, 3);
VOR_SLOT(ValuePatternVtbl, get_CurrentValue, 4);
VOR_SLOT(ValuePatternVtbl, get_CurrentIsReadOnly, 5);
static_assert(sizeof(ValuePatternVtbl) == 8 * sizeof(void*));
#undef VOR_SLOT

}  // namespace vor::desktop::uia::com
