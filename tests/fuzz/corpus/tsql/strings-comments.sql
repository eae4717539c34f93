select 'it''s', N'ação', [my col], "q""x" -- comment
/* block */ from t where a <> :p and b != 1.5e-3 and c <= .5