#!/usr/bin/env python3
"""Writes the sample device state of the simulator (data/app/devsim-state).

The language texts are composed from a small table of UI areas and items so
that each language has a few hundred plausible keys; run again after editing
the tables and commit the result.
"""
import hashlib
import hmac
import json
import os
import sys

ITERATIONS = 10000  # the least a client accepts; keeps the tests' logins quick


def verifier(name, password):
    """The user entry's verifier fields: the device keeps no password.

    Salts are derived from the name so the committed state is reproducible;
    a real device draws them at random (devsim set-password does).
    """
    salt = hashlib.sha256(("devsim sample salt:" + name).encode()).digest()[:16]
    salted = hashlib.pbkdf2_hmac("sha256", password.encode(), salt, ITERATIONS)
    client_key = hmac.new(salted, b"Client Key", hashlib.sha256).digest()
    return {"Salt": salt.hex(), "Iterations": ITERATIONS,
            "StoredKey": hashlib.sha256(client_key).hexdigest(),
            "ServerKey": hmac.new(salted, b"Server Key", hashlib.sha256).hexdigest()}


def user(name, password, rights, locked):
    entry = {"Name": name}
    entry.update(verifier(name, password))
    entry.update({"Rights": rights, "Locked": locked})
    return entry

AREAS = [  # key prefix, English, SimpChinese, Russian
    ("Menu", "Menu", "菜单", "Меню"),
    ("Record", "Record", "录像", "Запись"),
    ("Playback", "Playback", "回放", "Воспроизведение"),
    ("Alarm", "Alarm", "报警", "Тревога"),
    ("Network", "Network", "网络", "Сеть"),
    ("Disk", "Disk", "硬盘", "Диск"),
    ("Channel", "Channel", "通道", "Канал"),
    ("Account", "Account", "账户", "Учётная запись"),
    ("System", "System", "系统", "Система"),
    ("Upgrade", "Upgrade", "升级", "Обновление"),
    ("Display", "Display", "显示", "Дисплей"),
    ("Cloud", "Cloud", "云服务", "Облако"),
    ("PTZ", "PTZ", "云台", "PTZ"),
    ("Backup", "Backup", "备份", "Резервная копия"),
    ("Log", "Log", "日志", "Журнал"),
]

ITEMS = [  # key, English, SimpChinese, Russian
    ("Title", "{a} Settings", "{a}设置", "Настройки: {a}"),
    ("Enable", "Enable", "启用", "Включить"),
    ("Disable", "Disable", "禁用", "Отключить"),
    ("Apply", "Apply", "应用", "Применить"),
    ("Cancel", "Cancel", "取消", "Отмена"),
    ("Default", "Default", "默认", "По умолчанию"),
    ("Refresh", "Refresh", "刷新", "Обновить"),
    ("Save", "Save", "保存", "Сохранить"),
    ("SaveOK", "{a} settings saved", "{a}设置已保存", "Настройки ({a}) сохранены"),
    ("SaveFailed", "Failed to save {a} settings", "{a}设置保存失败", "Не удалось сохранить настройки ({a})"),
    ("Schedule", "Schedule", "计划", "Расписание"),
    ("Start", "Start", "开始", "Начать"),
    ("Stop", "Stop", "停止", "Остановить"),
    ("Status", "Status", "状态", "Состояние"),
    ("Name", "Name", "名称", "Имя"),
    ("Type", "Type", "类型", "Тип"),
    ("Time", "Time", "时间", "Время"),
    ("Copy", "Copy", "复制", "Копировать"),
    ("Delete", "Delete", "删除", "Удалить"),
    ("DeleteConfirm", "Delete the selected items?", "删除所选项目？", "Удалить выбранные элементы?"),
    ("Search", "Search", "搜索", "Поиск"),
    ("Advanced", "Advanced", "高级", "Дополнительно"),
    ("Help", "Help", "帮助", "Справка"),
    ("Busy", "{a} is busy, please wait", "{a}正忙，请稍候", "{a}: занято, подождите"),
    ("NoPermission", "No permission for {a}", "无{a}权限", "Нет прав: {a}"),
    ("Page", "Page", "页", "Страница"),
    ("Previous", "Previous", "上一页", "Назад"),
    ("Next", "Next", "下一页", "Далее"),
]

# Keys of their own, a few per language only, so exports show gaps.
EXTRA = {
    "English": {"Login.Welcome": "Welcome", "Login.User": "User Name",
                "Login.Password": "Password", "Login.Remember": "Remember password",
                "Common.Yes": "Yes", "Common.No": "No", "Common.OK": "OK"},
    "SimpChinese": {"Login.Welcome": "欢迎", "Login.User": "用户名",
                    "Login.Password": "密码", "Common.Yes": "是", "Common.No": "否",
                    "Common.OK": "确定"},
    "Russian": {"Login.Welcome": "Добро пожаловать", "Login.User": "Имя пользователя",
                "Login.Password": "Пароль", "Login.Remember": "Запомнить пароль",
                "Common.Yes": "Да", "Common.No": "Нет", "Common.OK": "ОК",
                "Login.Keyboard": "Экранная клавиатура"},
}

LANGS = ["English", "SimpChinese", "Russian"]


def texts(lang_index):
    out = {}
    for area in AREAS:
        for item in ITEMS:
            out[f"{area[0]}.{item[0]}"] = item[1 + lang_index].format(a=area[1 + lang_index])
    out.update(EXTRA[LANGS[lang_index]])
    return out


def write(path, data, mode="w"):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, mode, encoding=None if "b" in mode else "utf-8", newline="") as f:
        f.write(data)


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(__file__), "..", "data", "app", "devsim-state")
    device = {
        "Hardware": "NVR-K7000-S",
        "SerialNumber": "K7S2612100042",
        "SoftwareVersion": "V4.02.R11.20261201",
        "MaxSessions": 16,
        "SessionIdleMs": 120000,
        "MaxLoginFailures": 5,
        "LoginBackoffMs": 1000,
        "LoginBackoffMaxMs": 900000,
        "Users": [
            user("admin", "admin123", ["Config", "Language"], False),
            user("translator", "lang2026", ["Language"], False),
            user("guest", "guest", [], False),
            user("former", "former", ["Config", "Language"], True),
        ],
    }
    write(os.path.join(root, "device.json"), json.dumps(device, indent=2, ensure_ascii=False) + "\n")
    for i, lang in enumerate(LANGS):
        body = "".join(f"{k}={v}\n" for k, v in sorted(texts(i).items()))
        # The device's own files carry a byte-order mark like every device
        # language file; the export strips it.
        write(os.path.join(root, "languages", lang), "\ufeff" + body)
    account = {"Users": [
        {"Name": "admin", "Password": "tlJwpbo6", "Group": "admin", "Reserved": True,
         "AuthorityList": ["ShutDown", "Record", "Playback", "Backup", "Account", "SysUpgrade"]},
        {"Name": "user", "Password": "nTBCS19C", "Group": "user", "Reserved": False,
         "AuthorityList": ["Playback", "Backup"]},
    ], "Groups": [{"Name": "admin"}, {"Name": "user"}]}
    write(os.path.join(root, "config", "Account1"), json.dumps(account, indent=3) + "\n")
    write(os.path.join(root, "config", "General"),
          json.dumps({"General": {"MachineName": "NVR", "VideoOutPut": "Auto",
                                  "OverWrite": "OverWrite", "AutoLogout": 0}}, indent=3) + "\n")
    write(os.path.join(root, "custom", "ProductType.ini"), "NVR-K7000-S\n")
    write(os.path.join(root, "custom", "NetWork.custom"),
          json.dumps({"Nat": {"Addr": "cloud.example.net", "Port": 8765},
                      "OnlineUpgrade": {"Enable": True}}, indent=3) + "\n")
    write(os.path.join(root, "custom", "Ability.custom"),
          json.dumps({"SerialNo": {"ProductType": "K7000"}, "MaxChannel": 16}, indent=3) + "\n")
    write(os.path.join(root, "custom", "General.custom"),
          json.dumps({"Language": "English", "VideoFormat": "PAL"}, indent=3) + "\n")


if __name__ == "__main__":
    main()
