[
    {
        "date": 1796700875,
        "sessionName": "b"
    },
    null,
    [
        {
            "enable": true,
            "name": "VolumeEffect",
            "parameters": {
                "volume": 100.0
            }
        }
    ]
]