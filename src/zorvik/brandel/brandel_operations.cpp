// brandel's three key operations, described once each; every form of them
// (module function, method, native form, native method table entry) runs the
// shared path of operations.cpp.
#include "zorvik/brandel/brandel_operations.hpp"

#include "zorvik/binding/args.hpp"
#include "zorvik/brandel/module.hpp"
#include "zorvik/binding/operations.hpp"

namespace zorvik::brandel {

using binding::ItemOperation;
using binding::OperationEntry;
using binding::Signature;
using binding::dispatch;
using binding::function_form;
using binding::int_result;
using binding::method_form;
using binding::perform;

namespace {

PyObject *as_object(BrandelObject *self) { return reinterpret_cast<PyObject *>(self); }

const char *const insert_function_parameters[] = {"target", "input_key", "input_value"};
const char *const key_function_parameters[] = {"target", "input_key"};
const char *const insert_method_parameters[] = {"input_key", "input_value"};
const char *const key_method_parameters[] = {"input_key"};

const OperationEntry insert_operation{
    ItemOperation::insert,
    Signature{"dict_insert", insert_function_parameters, 3, 3},
    Signature{"insert", insert_method_parameters, 2, 2},
    "zorvik.brandel.dict_insert",
    "zorvik.brandel.brandel.insert",
    &brandel_type,
    &names.insert,
    &insert_method_def,
    brandel_parts,
};

const OperationEntry get_operation{
    ItemOperation::get,
    Signature{"dict_get", key_function_parameters, 2, 2},
    Signature{"get", key_method_parameters, 1, 1},
    "zorvik.brandel.dict_get",
    "zorvik.brandel.brandel.get",
    &brandel_type,
    &names.get,
    &get_method_def,
    brandel_parts,
};

const OperationEntry remove_operation{
    ItemOperation::remove,
    Signature{"dict_remove", key_function_parameters, 2, 2},
    Signature{"remove", key_method_parameters, 1, 1},
    "zorvik.brandel.dict_remove",
    "zorvik.brandel.brandel.remove",
    &brandel_type,
    &names.remove,
    &remove_method_def,
    brandel_parts,
};

}  // namespace

// ---- exported definitions --------------------------------------------------

PyMethodDef dict_insert_def = {
    "dict_insert", ZORVIK_METHOD(function_form<insert_operation>), METH_FASTCALL | METH_KEYWORDS,
    "dict_insert(target: brandel, input_key, input_value) -> int\n\ninsert the target brandel with input_key and "
    "input_value\n\n    :param target: the target brandel\n    :param input_key: the target key value\n    "
    ":param input_value: python object to insert \n    :return: 1 if successful\n    "};

PyMethodDef dict_get_def = {
    "dict_get", ZORVIK_METHOD(function_form<get_operation>), METH_FASTCALL | METH_KEYWORDS,
    "dict_get(target: brandel, input_key) -> list\n\nget the target object from brandel with input_key\n\n    "
    ":param target: the target brandel\n    :param input_key: the target key value\n    :return: list in form of "
    "[Boolean, object]. The first boolean value indicates whether the input_key is in the dict. The second python "
    "object is the target object if the first boolean value is True. \n    "};

PyMethodDef dict_remove_def = {
    "dict_remove", ZORVIK_METHOD(function_form<remove_operation>), METH_FASTCALL | METH_KEYWORDS,
    "dict_remove(target: brandel, input_key) -> int\n\nremove the target object from brandel with input_key\n\n    "
    ":param target: the target brandel\n    :param input_key: the target key value\n    :return: 1 if successfully "
    "removed, 0 if the input_key not in the target brandel\n    "};

PyMethodDef insert_method_def = {
    "insert", ZORVIK_METHOD(method_form<insert_operation>), METH_FASTCALL | METH_KEYWORDS,
    "insert(self, input_key, input_value) -> int\n\ninsert the brandel with input_key and input_value\n\n        "
    ":param input_key: the target key value\n        :param input_value: python object to insert \n        "
    ":return: 1 if successful\n        "};

PyMethodDef get_method_def = {
    "get", ZORVIK_METHOD(method_form<get_operation>), METH_FASTCALL | METH_KEYWORDS,
    "get(self, input_key) -> list\n\nget the target object from brandel with input_key\n    \n        "
    ":param input_key: the target key value\n        :return: list in form of [Boolean, object]. The first boolean "
    "value indicates whether the input_key is in the dict. The second python object is the target object if the "
    "first boolean value is True. \n        "};

PyMethodDef remove_method_def = {
    "remove", ZORVIK_METHOD(method_form<remove_operation>), METH_FASTCALL | METH_KEYWORDS,
    "remove(self, input_key) -> int\n\nremove the target object from brandel with input_key\n\n        "
    ":param input_key: the target key value\n        :return: 1 if successfully removed, 0 if the input_key not in "
    "the target brandel\n        "};

// ---- native forms ----------------------------------------------------------

int dict_insert(BrandelObject *target, PyObject *key, PyObject *value, int) {
    return int_result(perform(insert_operation, as_object(target), key, value));
}

PyObject *dict_get(BrandelObject *target, PyObject *key, int) {
    return perform(get_operation, as_object(target), key, nullptr).release();
}

int dict_remove(BrandelObject *target, PyObject *key, int) {
    return int_result(perform(remove_operation, as_object(target), key, nullptr));
}

// ---- native method table entries -------------------------------------------

int brandel_insert(BrandelObject *self, PyObject *key, PyObject *value, int skip_dispatch) {
    return int_result(dispatch(insert_operation, as_object(self), key, value, skip_dispatch == 0));
}

PyObject *brandel_get(BrandelObject *self, PyObject *key, int skip_dispatch) {
    return dispatch(get_operation, as_object(self), key, nullptr, skip_dispatch == 0).release();
}

int brandel_remove(BrandelObject *self, PyObject *key, int skip_dispatch) {
    return int_result(dispatch(remove_operation, as_object(self), key, nullptr, skip_dispatch == 0));
}

}  // namespace zorvik::brandel
