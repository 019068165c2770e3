#include "ui/accessibility.h"

#include <oleacc.h>

#include "ui/kavimor_dlg.h"

namespace {

// Children are plain elements numbered as TKavimorDlg::DrawnControl; child
// id 0 (CHILDID_SELF) is the client area itself. Every call re-reads the
// window, so an object a screen reader keeps after the window is gone
// answers "not connected" instead of touching a dead window object. All
// calls arrive on the UI thread: the object is handed out from the window
// procedure and COM marshals foreign callers onto that thread.
class WindowAccessible final : public IAccessible {
 public:
  explicit WindowAccessible(HWND hwnd) : hwnd_(hwnd) {}

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IAccessible) {
      *out = static_cast<IAccessible*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

  // IDispatch: screen readers use the IAccessible methods directly.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }

  HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** parent) override {
    if (parent == nullptr) return E_POINTER;
    *parent = nullptr;
    if (Dlg() == nullptr) return CO_E_OBJNOTCONNECTED;
    return AccessibleObjectFromWindow(hwnd_, static_cast<DWORD>(OBJID_WINDOW), IID_IDispatch,
                                      reinterpret_cast<void**>(parent));
  }
  HRESULT STDMETHODCALLTYPE get_accChildCount(LONG* count) override {
    if (count == nullptr) return E_POINTER;
    *count = TKavimorDlg::kDrawnControlCount;
    return Dlg() != nullptr ? S_OK : CO_E_OBJNOTCONNECTED;
  }
  HRESULT STDMETHODCALLTYPE get_accChild(VARIANT, IDispatch** child) override {
    // Simple elements: the parent answers for them.
    if (child == nullptr) return E_POINTER;
    *child = nullptr;
    return S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE get_accName(VARIANT id, BSTR* name) override {
    if (name == nullptr) return E_POINTER;
    *name = nullptr;
    const TKavimorDlg* dlg = nullptr;
    if (const HRESULT hr = Check(id, &dlg); hr != S_OK) return hr;
    *name = SysAllocString(dlg->ControlName(id.lVal));
    return *name != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE get_accValue(VARIANT, BSTR* value) override { return NoText(value); }
  HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT, BSTR* text) override { return NoText(text); }
  HRESULT STDMETHODCALLTYPE get_accRole(VARIANT id, VARIANT* role) override {
    if (role == nullptr) return E_POINTER;
    VariantInit(role);
    const TKavimorDlg* dlg = nullptr;
    if (const HRESULT hr = Check(id, &dlg); hr != S_OK) return hr;
    role->vt = VT_I4;
    role->lVal = id.lVal == CHILDID_SELF ? ROLE_SYSTEM_CLIENT : ROLE_SYSTEM_PUSHBUTTON;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_accState(VARIANT id, VARIANT* state) override {
    if (state == nullptr) return E_POINTER;
    VariantInit(state);
    const TKavimorDlg* dlg = nullptr;
    if (const HRESULT hr = Check(id, &dlg); hr != S_OK) return hr;
    LONG flags = 0;
    if (id.lVal == CHILDID_SELF) {
      flags = STATE_SYSTEM_FOCUSABLE | (GetFocus() == hwnd_ ? STATE_SYSTEM_FOCUSED : 0);
    } else if (!dlg->ControlShown(id.lVal)) {
      flags = STATE_SYSTEM_INVISIBLE | STATE_SYSTEM_UNAVAILABLE;
    } else {
      flags = STATE_SYSTEM_FOCUSABLE;
      if (id.lVal == TKavimorDlg::kMainButton) flags |= STATE_SYSTEM_DEFAULT;
      if (dlg->FocusedControl() == id.lVal && GetFocus() == hwnd_) flags |= STATE_SYSTEM_FOCUSED;
    }
    state->vt = VT_I4;
    state->lVal = flags;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT, BSTR* text) override { return NoText(text); }
  HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR* file, VARIANT, LONG* topic) override {
    if (file != nullptr) *file = nullptr;
    if (topic != nullptr) *topic = 0;
    return S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT id, BSTR* text) override {
    if (text == nullptr) return E_POINTER;
    *text = nullptr;
    const TKavimorDlg* dlg = nullptr;
    if (const HRESULT hr = Check(id, &dlg); hr != S_OK) return hr;
    if (id.lVal != TKavimorDlg::kMainButton) return S_FALSE;
    *text = SysAllocString(L"Enter");
    return *text != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* focus) override {
    if (focus == nullptr) return E_POINTER;
    VariantInit(focus);
    const TKavimorDlg* dlg = Dlg();
    if (dlg == nullptr) return CO_E_OBJNOTCONNECTED;
    if (GetFocus() != hwnd_) return S_FALSE;
    focus->vt = VT_I4;
    const int control = dlg->FocusedControl();
    focus->lVal = control == TKavimorDlg::kNoControl ? CHILDID_SELF : control;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* selection) override {
    if (selection == nullptr) return E_POINTER;
    VariantInit(selection);
    return S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT id, BSTR* action) override {
    if (action == nullptr) return E_POINTER;
    *action = nullptr;
    const TKavimorDlg* dlg = nullptr;
    if (const HRESULT hr = Check(id, &dlg); hr != S_OK) return hr;
    if (id.lVal == CHILDID_SELF || !dlg->ControlShown(id.lVal)) return S_FALSE;
    *action = SysAllocString(L"Press");
    return *action != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE accSelect(LONG, VARIANT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE accLocation(LONG* left, LONG* top, LONG* width, LONG* height, VARIANT id) override {
    if (left == nullptr || top == nullptr || width == nullptr || height == nullptr) return E_POINTER;
    *left = *top = *width = *height = 0;
    const TKavimorDlg* dlg = nullptr;
    if (const HRESULT hr = Check(id, &dlg); hr != S_OK) return hr;
    RECT r{};
    if (id.lVal == CHILDID_SELF) {
      GetClientRect(hwnd_, &r);
    } else {
      r = dlg->ControlRect(id.lVal);
    }
    MapWindowPoints(hwnd_, nullptr, reinterpret_cast<POINT*>(&r), 2);
    *left = r.left;
    *top = r.top;
    *width = r.right - r.left;
    *height = r.bottom - r.top;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE accNavigate(LONG, VARIANT, VARIANT* end) override {
    if (end != nullptr) VariantInit(end);
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE accHitTest(LONG x, LONG y, VARIANT* hit) override {
    if (hit == nullptr) return E_POINTER;
    VariantInit(hit);
    const TKavimorDlg* dlg = Dlg();
    if (dlg == nullptr) return CO_E_OBJNOTCONNECTED;
    POINT p{x, y};
    ScreenToClient(hwnd_, &p);
    RECT client{};
    GetClientRect(hwnd_, &client);
    if (!PtInRect(&client, p)) return S_FALSE;
    hit->vt = VT_I4;
    hit->lVal = CHILDID_SELF;
    for (int control = 1; control <= TKavimorDlg::kDrawnControlCount; ++control) {
      const RECT r = dlg->ControlRect(control);
      if (dlg->ControlShown(control) && PtInRect(&r, p)) hit->lVal = control;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT id) override {
    const TKavimorDlg* dlg = nullptr;
    if (const HRESULT hr = Check(id, &dlg); hr != S_OK) return hr;
    if (id.lVal == CHILDID_SELF || !dlg->ControlShown(id.lVal)) return DISP_E_MEMBERNOTFOUND;
    // Pressed from the window's own message handling, not inside this call:
    // a press can open a message box or the folder picker.
    PostMessageW(hwnd_, TKavimorDlg::kPressControlMessage, static_cast<WPARAM>(id.lVal), 0);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_accName(VARIANT, BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_accValue(VARIANT, BSTR) override { return E_NOTIMPL; }

 private:
  ~WindowAccessible() = default;

  const TKavimorDlg* Dlg() const {
    if (!IsWindow(hwnd_)) return nullptr;
    return dynamic_cast<const TKavimorDlg*>(reinterpret_cast<TIxFrm*>(GetWindowLongPtrW(hwnd_, 0)));
  }
  // S_OK with the window object for a valid child id.
  HRESULT Check(const VARIANT& id, const TKavimorDlg** dlg) const {
    if (id.vt != VT_I4 || id.lVal < CHILDID_SELF || id.lVal > TKavimorDlg::kDrawnControlCount)
      return E_INVALIDARG;
    *dlg = Dlg();
    return *dlg != nullptr ? S_OK : CO_E_OBJNOTCONNECTED;
  }
  static HRESULT NoText(BSTR* text) {
    if (text == nullptr) return E_POINTER;
    *text = nullptr;
    return S_FALSE;
  }

  LONG refs_ = 1;
  HWND hwnd_;
};

}  // namespace

LRESULT AnswerAccessibleObjectRequest(HWND hwnd, WPARAM wParam) {
  auto* object = new WindowAccessible(hwnd);
  const LRESULT result = LresultFromObject(IID_IAccessible, wParam, object);
  object->Release();
  return result;
}
